// The command-line pieces every quillmesh-peer command shares.
#include "peer_arguments.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <utility>

namespace quillmesh::peer {

namespace {

// How long a connection may take to be accepted.
constexpr std::chrono::milliseconds kConnectTimeout{10000};

}  // namespace

void Complain(const std::string& text) {
  std::fprintf(stderr, "%s: %s\n", kProgramName, text.c_str());
}

int UsageError(const std::string& text) {
  Complain(text);
  std::fprintf(stderr, "Try '%s --help'.\n", kProgramName);
  return kExitUsage;
}

std::optional<unsigned long long> ParseNumber(const std::string& text, unsigned long long low,
                                              unsigned long long high) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) {
    return std::nullopt;
  }
  errno = 0;
  char* end = nullptr;
  const unsigned long long value = std::strtoull(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || value < low || value > high) {
    return std::nullopt;
  }
  return value;
}

std::string ArgumentCursor::Next() {
  std::string argument = mArgs[mIndex++];
  mInlineValue.reset();
  const auto equals = argument.find('=');
  if (argument.rfind("--", 0) == 0 && equals != std::string::npos) {
    mInlineValue = argument.substr(equals + 1);
    argument.resize(equals);
  }
  return argument;
}

std::optional<std::string> ArgumentCursor::Value() {
  if (mInlineValue) {
    return std::exchange(mInlineValue, std::nullopt);
  }
  if (Done()) {
    return std::nullopt;
  }
  return mArgs[mIndex++];
}

std::optional<std::string> TakeConnectionOption(const std::string& option, ArgumentCursor& cursor,
                                                ConnectionOptions& connection) {
  if (option != "--host" && option != "--port" && option != "--bind" && option != "--timeout") {
    return std::nullopt;
  }
  const auto value = cursor.Value();
  if (!value) {
    return option + " needs a value";
  }
  if (option == "--host") {
    connection.host = *value;
  } else if (option == "--bind") {
    connection.local_address = *value;
  } else if (option == "--port") {
    const auto port = ParseNumber(*value, 1, 65535);
    if (!port) return "--port takes a number from 1 to 65535, not '" + *value + "'";
    connection.port = static_cast<std::uint16_t>(*port);
  } else {
    const auto seconds = ParseNumber(*value, 1, 86400);
    if (!seconds) return "--timeout takes seconds from 1 to 86400, not '" + *value + "'";
    connection.reply_timeout = std::chrono::milliseconds{*seconds * 1000};
  }
  return std::string{};
}

bool ConnectTo(PeerConnection& connection, const ConnectionOptions& options) {
  if (!connection.Connect(options.host, options.port, kConnectTimeout, options.local_address)) {
    Complain(connection.LastError());
    return false;
  }
  return true;
}

std::string ConnectionArguments(const ConnectionOptions& options) {
  std::string arguments = "--host " + options.host + " --port " + std::to_string(options.port);
  if (!options.local_address.empty()) arguments += " --bind " + options.local_address;
  return arguments;
}

}  // namespace quillmesh::peer
