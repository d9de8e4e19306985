#include "server_process.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;

namespace {

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define QUILLMESH_SANITIZED_SERVER 1
#endif
#endif
#ifdef QUILLMESH_SANITIZED_SERVER
// A sanitizer's runtime reserves terabytes of address space before main, so a server built
// with one cannot start under an address-space limit; its render children still keep
// their own bound on what they allocate.
constexpr bool kServerTakesAddressSpaceLimit = false;
#else
constexpr bool kServerTakesAddressSpaceLimit = true;
#endif

// The work folder as the server sees it: a Windows path under Wine.
std::string TempValueForServer(const std::string& workDir) {
  if (!ServerProcess::UnderWine()) return workDir;
  std::string windowsPath = "Z:" + workDir;
  for (char& c : windowsPath) c = (c == '/') ? '\\' : c;
  return windowsPath;
}

}  // namespace

std::uint16_t FreePort() {
  std::random_device seed;
  std::mt19937 generator(seed());
  std::uniform_int_distribution<int> candidates(20000, 32000);
  for (int attempt = 0; attempt < 200; ++attempt) {
    const auto port = static_cast<std::uint16_t>(candidates(generator));
    const int probe = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(port);
    const bool free = ::bind(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(probe);
    if (free) return port;
  }
  std::abort();
}

std::string ReadFile(const std::string& path) {
  std::ifstream stream(path, std::ios::binary);
  if (!stream) return "<missing>";
  return {std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>()};
}

bool Eventually(const std::function<bool()>& condition, std::chrono::seconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return condition();
}

ServerProcess::ServerProcess(const std::vector<std::string>& printers) {
  char pattern[] = "/tmp/qm-protocol-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) std::abort();
  mWorkDir = pattern;
  mPort = FreePort();
  for (std::string name : printers) {
    const bool network = name.size() > 4 && name.ends_with("@net");
    if (network) name.resize(name.size() - 4);
    fs::create_directories(mWorkDir + "/printers/" + name);
    if (network) std::ofstream(mWorkDir + "/printers/" + name + "/.network");
  }
}

ServerProcess::~ServerProcess() {
  Stop();
  fs::remove_all(mWorkDir);
}

std::vector<std::string> ServerProcess::Command() {
  const char* command = std::getenv("QM_SERVER_COMMAND");
  if (command == nullptr || *command == '\0') return {QM_SERVER_BINARY};
  std::istringstream words(command);
  return {std::istream_iterator<std::string>(words), std::istream_iterator<std::string>()};
}

bool ServerProcess::UnderWine() { return Command().front().ends_with("wine"); }

pid_t ServerProcess::Spawn() const {
  const std::vector<std::string> command = Command();
  const std::string temp = TempValueForServer(mWorkDir);
  const std::string spooler = mSpooler.empty() ? "folder:" + mWorkDir + "/printers" : mSpooler;
  const bool underWine = UnderWine();
  const pid_t pid = ::fork();
  if (pid != 0) return pid;
  ::setenv("TEMP", temp.c_str(), 1);
  // Wine replaces TEMP with the prefix's registry value, which tests/windows/run.sh
  // sets to "%QM_WINE_TEMP%".
  if (underWine) ::setenv("QM_WINE_TEMP", temp.c_str(), 1);
  ::setenv("QUILLMESH_SPOOLER", spooler.c_str(), 1);
  ::setenv("QUILLMESH_PORT", std::to_string(mPort).c_str(), 1);
  // Servers run side by side: none takes the administrator's window's one port unless
  // its test asks for the window.
  ::setenv("QUILLMESH_ADMIN", "off", 1);
  for (const auto& [name, value] : mEnvironment) ::setenv(name.c_str(), value.c_str(), 1);
  if (mAddressSpaceBytes > 0 && kServerTakesAddressSpaceLimit) {
    const rlimit addressSpace{mAddressSpaceBytes, mAddressSpaceBytes};
    ::setrlimit(RLIMIT_AS, &addressSpace);
  }
  if (mKeepOutput) {
    // Beside the work folder, not in it: what must not create it finds it missing.
    const int flags = O_WRONLY | O_CREAT | O_TRUNC;
    ::dup2(::open((mWorkDir + "/stdout.txt").c_str(), flags, 0600), STDOUT_FILENO);
    ::dup2(::open((mWorkDir + "/stderr.txt").c_str(), flags, 0600), STDERR_FILENO);
  } else {
    ::dup2(::open("/dev/null", O_WRONLY), STDOUT_FILENO);
  }
  std::vector<char*> arguments;
  for (const std::string& word : command) arguments.push_back(const_cast<char*>(word.c_str()));
  for (const std::string& word : mArguments) arguments.push_back(const_cast<char*>(word.c_str()));
  arguments.push_back(nullptr);
  ::execvp(arguments[0], arguments.data());
  ::_exit(127);
}

bool ServerProcess::Start() {
  // Another server on the port would answer in ours' place.
  quillmesh::peer::PeerConnection occupant;
  if (occupant.Connect("127.0.0.1", mPort, std::chrono::milliseconds(500))) {
    ADD_FAILURE() << "port " << mPort << " is already in use by another process";
    return false;
  }
  mPid = Spawn();
  if (mPid < 0) return false;
  const auto deadline = std::chrono::steady_clock::now() + kStartLimit;
  while (std::chrono::steady_clock::now() < deadline) {
    quillmesh::peer::PeerConnection probe;
    if (probe.Connect("127.0.0.1", mPort, std::chrono::milliseconds(500))) return true;
    int status = 0;
    if (::waitpid(mPid, &status, WNOHANG) == mPid) {
      mPid = -1;
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

int ServerProcess::RunToExit(std::chrono::seconds limit) {
  const pid_t pid = Spawn();
  const auto deadline = std::chrono::steady_clock::now() + limit;
  int status = 0;
  while (::waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool ServerProcess::Stop(std::chrono::seconds limit) {
  if (mPid <= 0) return false;
  ::kill(mPid, SIGTERM);
  int status = 0;
  pid_t reaped = 0;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while ((reaped = ::waitpid(mPid, &status, WNOHANG)) == 0 &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  const bool endedByTerm = reaped == mPid && WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM;
  if (reaped == 0) {
    ::kill(mPid, SIGKILL);
    ::waitpid(mPid, &status, 0);
  }
  mPid = -1;
  return endedByTerm;
}

quillmesh::peer::PeerConnection ServerProcess::Connect(const std::string& localAddress) const {
  quillmesh::peer::PeerConnection connection;
  EXPECT_TRUE(connection.Connect("127.0.0.1", mPort, kIoTimeout, localAddress))
      << connection.LastError();
  return connection;
}

std::string ServerProcess::Output() const { return ReadFile(mWorkDir + "/stdout.txt"); }

std::string ServerProcess::ErrorOutput() const { return ReadFile(mWorkDir + "/stderr.txt"); }

std::string ServerProcess::LogText() const {
  return ReadFile(mWorkDir + "/Quillmesh/log/QuillmeshLog.txt");
}

std::vector<std::string> ServerProcess::TempFiles() const {
  std::vector<std::string> files;
  if (!fs::exists(TempFolder())) return files;
  for (const auto& entry : fs::directory_iterator(TempFolder())) files.push_back(entry.path());
  return files;
}

std::vector<std::string> ServerProcess::PrinterFiles(const std::string& printer,
                                                     const std::string& suffix) const {
  std::vector<std::string> files;
  for (const auto& entry : fs::directory_iterator(mWorkDir + "/printers/" + printer)) {
    const std::string path = entry.path().string();
    if (path.ends_with(suffix)) files.push_back(path);
  }
  return files;
}

void SubmitJob(const ServerProcess& server, const std::string& printer, std::uint8_t dataFormat,
               const std::vector<std::uint8_t>& property, const std::string& data,
               std::chrono::seconds printLimit, quillmesh::peer::JobOutcome* outcome,
               const std::string& peerAddress) {
  using quillmesh::peer::SubmitParam;
  quillmesh::peer::PeerConnection connection = server.Connect(peerAddress);
  quillmesh::peer::SubmitHeader header;
  header.printer_name = printer;
  header.file_name = "job";
  header.file_size = static_cast<std::uint32_t>(data.size());
  header.property = property;
  header.data_format = dataFormat;
  ASSERT_TRUE(connection.SendAll(*quillmesh::peer::BuildSubmitHeaderFrame(header), kIoTimeout));
  ASSERT_TRUE(connection.ExpectAcknowledgement(kIoTimeout)) << connection.LastError();
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(data.data());
  std::size_t offset = 0;
  do {  // an empty file still takes one data frame
    const std::size_t count = std::min<std::size_t>(quillmesh::peer::kMaxPayload, data.size() - offset);
    ASSERT_TRUE(connection.SendFrame(2, SubmitParam(1, 2), {bytes + offset, count}, kIoTimeout));
    ASSERT_TRUE(connection.ExpectAcknowledgement(kIoTimeout)) << connection.LastError();
    offset += count;
  } while (offset < data.size());
  ASSERT_TRUE(connection.SendAll(quillmesh::peer::BuildFrame(2, SubmitParam(1, 3), {}), kIoTimeout));
  ASSERT_TRUE(connection.ExpectAcknowledgement(printLimit)) << connection.LastError();
  if (outcome == nullptr) return;
  quillmesh::peer::Frame reply;
  std::string error;
  ASSERT_TRUE(connection.SendAll(quillmesh::peer::BuildJobOutcomeRequest(), kIoTimeout));
  ASSERT_TRUE(connection.ReadFrame(reply, kIoTimeout)) << connection.LastError();
  ASSERT_TRUE(quillmesh::peer::ParseJobOutcomeReply(reply, *outcome, error)) << error;
}

std::vector<std::uint8_t> SubmitHeaderFrame(const std::string& printer, const std::string& file,
                                            std::uint32_t size, std::uint8_t dataFormat) {
  quillmesh::peer::SubmitHeader header;
  header.printer_name = printer;
  header.file_name = file;
  header.file_size = size;
  header.data_format = dataFormat;
  return *quillmesh::peer::BuildSubmitHeaderFrame(header);
}

bool RunCommand(const std::string& command) {
  const int status = std::system(command.c_str());
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string MakePdf(const std::string& folder, const std::string& name,
                    const std::string& program) {
  const std::string source = folder + "/" + name + ".ps";
  const std::string pdf = folder + "/" + name + ".pdf";
  std::ofstream(source) << program;
  EXPECT_TRUE(RunCommand("gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=pdfwrite -o '" + pdf + "' '" +
                         source + "' >/dev/null 2>&1"));
  return pdf;
}

std::string MakeThreePagePdf(const std::string& folder) {
  return MakePdf(folder, "pages",
                 "%!PS\n<< /PageSize [72 72] >> setpagedevice\n"
                 "1 1 3 { 4 div setgray 0 0 72 72 rectfill showpage } for\n");
}

