// Process entry and the TCP listener: one session thread per accepted connection.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>
#include <system_error>
#include <thread>

#include "command_line.h"
#include "admin/admin_server.h"
#include "admin/live_sources.h"
#include "support/allow_list.h"
#include "front/client_handler.h"
#include "front/file_submit.h"
#include "support/kept_files.h"
#include "support/log_writer.h"
#include "print/page_rendering.h"
#include "print/pdf_rasterizer.h"
#include "platform/platform.h"
#include "platform/render_process.h"
#include "print/job_journal.h"
#include "print/printer_list.h"
#include "print/render_slots.h"
#include "print/spooler_print_service.h"
#include "support/server_settings.h"
#include "front/session_gate.h"

namespace {

// A short queue drops connection attempts during bursts, and each dropped attempt
// waits a full second before the peer's system retries it.
constexpr int kListenBacklog = SOMAXCONN;
// A listener whose accepts keep failing (out of descriptors, say) waits this long
// between attempts instead of spinning.
constexpr int kAcceptFailuresBeforePause = 3;
constexpr unsigned kAcceptPauseMilliseconds = 100;

// Logs a start-up failure and ends the process.
[[noreturn]] void FailStartup(const char* what) {
  LOG_ERROR("%s\n", what);
  std::exit(1);
}

// Hands a connection to its own detached thread, which gives its slot back to the gate
// when the session ends; on failure the session is dropped.
void StartSession(SOCKET clientSocket, SessionGate& gate, SessionSlot* slot,
                  PrintService& printService) {
  ClientHandlerInfo* session = new (std::nothrow) ClientHandlerInfo(clientSocket, printService);
  if (session == nullptr) {
    LOG_ERROR("no memory for the session of socket:%ld, connection closed\n",
              static_cast<long>(clientSocket));
    gate.Release(slot);
    closesocket(clientSocket);
    return;
  }
  session->AttachToGate(gate, *slot);
  try {
    std::thread([session] { clientHandlerThread(session); }).detach();
  } catch (const std::system_error& failure) {
    LOG_ERROR("cannot start the thread of socket:%ld: %s, connection closed\n",
              static_cast<long>(clientSocket), failure.what());
    gate.Release(slot);
    closesocket(clientSocket);
    delete session;
  }
}

// Waits for the next connection; refusals are reported once their second has passed even
// when no connection follows them.
void WaitForConnection(SOCKET listener, SessionGate& gate) {
  for (;;) {
    const std::int64_t nextReport = gate.ReportDue(SteadyMillis());
    if (nextReport < 0) return;
    // A failed wait leaves it to accept to report the failure.
    if (quillmesh::platform::WaitReadable(listener, static_cast<unsigned>(nextReport) + 1) !=
        quillmesh::platform::SocketWait::kTimedOut) {
      return;
    }
  }
}

// Reads every setting and chooses the spooler it names; a malformed one stops the server,
// so that a mistyped allow-list never lets everyone in and a mistyped limit or spooler
// is noticed at start rather than by the jobs.
ServerSettings ReadSettingsOrStop() {
  ServerSettings settings;
  std::string problem;
  if (!ReadServerSettings(settings, problem) ||
      !CheckAdminWindowSettings(settings, AdminWindowHasTls(), problem) ||
      !quillmesh::platform::UseSpooler(settings.spooler, problem)) {
    std::fprintf(stderr, "quillmesh: %s\n", problem.c_str());
    FailStartup(problem.c_str());
  }
  return settings;
}

// Stops before the first log line when the work folder is not the server's own: its log
// and job files must not land where another user can read or redirect them.
void SecureWorkFoldersOrStop() {
  std::string problem;
  if (PrepareWorkFolders(problem)) return;
  std::fprintf(stderr, "quillmesh: the work folder is not private: %s\n", problem.c_str());
  std::exit(1);
}

// Stops, before anything in the work folder is touched, when another server uses it: each
// would sweep the other's job and page files as left over.
void LockWorkFolderOrStop() {
  const std::string folder = GetWorkBaseDir();
  std::string problem;
  if (folder.empty() || quillmesh::platform::LockWorkFolder(folder.c_str(), problem)) return;
  std::fprintf(stderr, "quillmesh: %s\n", problem.c_str());
  FailStartup(problem.c_str());
}

// A stop request ends the process at once; first every line logged so far, however many
// wait behind a flood, goes to the file. Rendering ends and its page files go, since
// nothing would remove them after; each job that will not finish is logged as failed,
// then one line says why the server stopped.
void WriteOutLogBeforeStopping(int request) {
  FlushLog();
  for (const std::string& job :
       EndJobsInFlight(JobFileFolder(), quillmesh::platform::EndAllRenderWork)) {
    LOG_ERROR("job %s failed: the server stopped on request %d before it was done\n",
              job.c_str(), request);
  }
  LOG_DEBUG("stopping on request %d\n", request);
  FlushLog();
}

// Opens the job history's journal in the work folder. The history only answers peers'
// questions about their jobs, so a journal that cannot be opened does not stop the
// printing: the history is then kept in memory, lost at the next start.
void OpenJobHistory(JobRegistry& jobs, std::size_t limit) {
  jobs.SetHistoryLimit(limit);
  const std::string folder = GetWorkBaseDir();
  const std::string path = folder + quillmesh::platform::kPathSeparator + JobJournal::kFileName;
  std::string problem = "there is no work folder";
  if (folder.empty() || !jobs.OpenJournal(path, problem)) {
    LOG_ERROR("the job history cannot be journaled: %s; it is kept in memory only\n",
              problem.c_str());
  }
  LOG_DEBUG("job history: %zu finished jobs, at most QUILLMESH_JOB_HISTORY=%zu\n",
            jobs.HistorySize(), limit);
}

}  // namespace

int StartQuillmesh(unsigned short port) {
  std::srand(static_cast<unsigned>(std::time(nullptr)));

  WSADATA wsaData;
  if (WSAStartup(MAKEWORD(2, 2), &wsaData) != 0) FailStartup("WSAStartup error");

  const SOCKET listener = ::socket(AF_INET, SOCK_STREAM, 0);
  if (listener == INVALID_SOCKET) FailStartup("socket() error");
  quillmesh::platform::AllowQuickRebind(listener);

  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_port = htons(port);
  if (::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) ==
      SOCKET_ERROR) {
    FailStartup("bind() error");
  }
  // The files of jobs that died with an earlier process are bounded before any new job
  // arrives, and only once the port is ours: a second server started by mistake must not
  // sweep the page files of the one that runs.
  SweepJobFolder();
  ::listen(listener, kListenBacklog);

  const ServerSettings& settings = ServerSettingsInForce();
  // Sessions run on detached threads that may outlive this function's frame.
  static SessionGate gate({settings.maxSessions, settings.maxSessionsPerPeer}, settings.allow);
  static SpoolerPrintService printService;
  OpenJobHistory(printService.Jobs(), settings.jobHistory);
  static LiveAdminSources sources(printService.Jobs(), gate);
  static AdminServer adminServer(sources, settings.admin);
  if (settings.admin.enabled) adminServer.Start();
  int failedAccepts = 0;
  for (;;) {
    LOG_DEBUG("Wait Client Connect ... \n");
    WaitForConnection(listener, gate);
    sockaddr_in peerAddress{};
    socklen_t peerAddressLength = sizeof peerAddress;
    const SOCKET clientSocket =
        ::accept(listener, reinterpret_cast<sockaddr*>(&peerAddress), &peerAddressLength);
    LOG_DEBUG("Client Connect clientSocket : %ld\n", static_cast<long>(clientSocket));
    if (clientSocket == INVALID_SOCKET) {
      LOG_ERROR("accept failed: 0x%lx\n", quillmesh::platform::LastSocketError());
      if (++failedAccepts >= kAcceptFailuresBeforePause) {
        quillmesh::platform::SleepMilliseconds(kAcceptPauseMilliseconds);
      }
      continue;
    }
    failedAccepts = 0;
    const std::uint32_t peer = ntohl(peerAddress.sin_addr.s_addr);
    SessionSlot* slot = gate.Admit(peer, clientSocket, SteadyMillis());
    if (slot == nullptr) {
      closesocket(clientSocket);
      continue;
    }
    StartSession(clientSocket, gate, slot, printService);
  }
}

int main(int argc, char** argv) {
  // The server's own render child (Windows) renders one document and nothing else: no
  // log, no settings, no port.
  if (quillmesh::platform::IsRenderChild(argc, argv)) {
    return quillmesh::platform::RunRenderChild(argc, argv, MakeRenderWork);
  }
  if (const std::optional<int> answered = AnswerCommandLine(argc, argv)) return *answered;
  quillmesh::platform::CallBeforeStopping(WriteOutLogBeforeStopping);
  SecureWorkFoldersOrStop();
  LockWorkFolderOrStop();
  LOG_DEBUG("version %s build time %s %s\n", kServerVersion, __DATE__, __TIME__);
  InstallServerSettings(ReadSettingsOrStop());
  InstallPdfRenderLimits(ServerSettingsInForce().render);
  SetLogRotation(ServerSettingsInForce().logRotation);
  LogServerSettings(ServerSettingsInForce());
  GetPrinterList();
  LogPdfRenderSettings();
  const unsigned short port = ServerSettingsInForce().port;
  LOG_DEBUG("listening on port %u\n", static_cast<unsigned>(port));
  StartQuillmesh(port);
  return 0;
}
