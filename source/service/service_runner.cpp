// The service itself: starts quillmesh.exe (no arguments, as always) with the settings
// from the service's registry key, reports the service running while the server runs,
// and ends the server when the service is stopped. The server runs in a job object
// that kills it should the service host itself die.
#include <optional>
#include <string>
#include <vector>

#include "service/service_host.h"

namespace quillmesh::service {

namespace {

constexpr DWORD kStartWaitHintMillis = 10000;
constexpr DWORD kStopWaitHintMillis = 10000;

// What the control handler and the service main share.
struct ServiceState {
  SERVICE_STATUS_HANDLE status_handle = nullptr;
  SERVICE_STATUS status{};
  KernelHandle stop_requested;
};

ServiceState gService;

// Tells the service control manager the service's state.
void Report(DWORD state, DWORD exit_code = NO_ERROR, DWORD server_exit_code = 0) {
  SERVICE_STATUS& status = gService.status;
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = state;
  status.dwControlsAccepted =
      state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
  status.dwWin32ExitCode = exit_code;
  status.dwServiceSpecificExitCode = server_exit_code;
  status.dwWaitHint = state == SERVICE_START_PENDING  ? kStartWaitHintMillis
                      : state == SERVICE_STOP_PENDING ? kStopWaitHintMillis
                                                      : 0;
  status.dwCheckPoint = (state == SERVICE_RUNNING || state == SERVICE_STOPPED) ? 0 : 1;
  SetServiceStatus(gService.status_handle, &status);
}

// Writes one error line to the Application event log, where administrators look for
// a service that did not start.
void LogEvent(const std::wstring& text) {
  HANDLE source = RegisterEventSourceW(nullptr, kServiceName);
  if (source == nullptr) return;
  const wchar_t* strings[1] = {text.c_str()};
  ReportEventW(source, EVENTLOG_ERROR_TYPE, 0, 0, nullptr, 1, 0, strings, nullptr);
  DeregisterEventSource(source);
}

// Stop and shutdown requests wake the service main; the rest need no action.
DWORD WINAPI ControlHandler(DWORD control, DWORD, void*, void*) {
  if (control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN) {
    Report(SERVICE_STOP_PENDING);
    SetEvent(gService.stop_requested.get());
    return NO_ERROR;
  }
  return control == SERVICE_CONTROL_INTERROGATE ? NO_ERROR : ERROR_CALL_NOT_IMPLEMENTED;
}

// Copies the NAME=VALUE strings of the service key's "Environment" value into this
// process's environment, for the server to inherit. Windows applies them to the
// service already; other service managers may not.
void ApplyServiceEnvironment() {
  DWORD bytes = 0;
  if (RegGetValueW(HKEY_LOCAL_MACHINE, kServiceKey, L"Environment", RRF_RT_REG_MULTI_SZ, nullptr,
                   nullptr, &bytes) != ERROR_SUCCESS) {
    return;
  }
  std::vector<wchar_t> text(bytes / sizeof(wchar_t) + 2, L'\0');
  bytes = static_cast<DWORD>(text.size() * sizeof(wchar_t));
  if (RegGetValueW(HKEY_LOCAL_MACHINE, kServiceKey, L"Environment", RRF_RT_REG_MULTI_SZ, nullptr,
                   text.data(), &bytes) != ERROR_SUCCESS) {
    return;
  }
  for (const wchar_t* entry = text.data(); *entry != L'\0'; entry += wcslen(entry) + 1) {
    const std::wstring setting(entry);
    const std::size_t equals = setting.find(L'=');
    if (equals == 0 || equals == std::wstring::npos) continue;
    SetEnvironmentVariableW(setting.substr(0, equals).c_str(), setting.c_str() + equals + 1);
  }
}

// A job object that ends every process in it when its last handle closes.
KernelHandle CreateKillOnCloseJob() {
  KernelHandle job(CreateJobObjectW(nullptr, nullptr));
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (job && !SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits,
                                      sizeof limits)) {
    job.reset();
  }
  return job;
}

// Starts quillmesh.exe from this program's folder inside the job; its process handle,
// or an empty one (GetLastError says why).
KernelHandle StartServer(HANDLE job) {
  const std::wstring server = PathBesideProgram(L"quillmesh.exe");
  if (server.empty()) return nullptr;
  std::wstring command_line = L"\"" + server + L"\"";
  const std::wstring folder = server.substr(0, server.find_last_of(L'\\'));
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(server.c_str(), command_line.data(), nullptr, nullptr, FALSE,
                      CREATE_SUSPENDED | CREATE_NO_WINDOW, nullptr, folder.c_str(), &startup,
                      &process)) {
    return nullptr;
  }
  KernelHandle thread(process.hThread);
  KernelHandle handle(process.hProcess);
  if (!AssignProcessToJobObject(job, process.hProcess)) {
    const DWORD error = GetLastError();
    TerminateProcess(process.hProcess, 1);
    SetLastError(error);
    return nullptr;
  }
  ResumeThread(thread.get());
  return handle;
}

// Waits until the service is stopped or the server ends; the server's exit code, or
// nothing when the service was stopped (the server is then ended).
std::optional<DWORD> RunServer(HANDLE job, HANDLE server) {
  const HANDLE waits[2] = {gService.stop_requested.get(), server};
  const DWORD woken = WaitForMultipleObjects(2, waits, FALSE, INFINITE);
  if (woken == WAIT_OBJECT_0 + 1) {
    DWORD code = 1;
    GetExitCodeProcess(server, &code);
    return code;
  }
  TerminateJobObject(job, 0);
  WaitForSingleObject(server, kStopWaitHintMillis);
  return std::nullopt;
}

// The service's main function, on the dispatcher's thread.
void WINAPI ServiceMain(DWORD, wchar_t**) {
  gService.status_handle =
      RegisterServiceCtrlHandlerExW(kServiceName, ControlHandler, nullptr);
  if (gService.status_handle == nullptr) return;
  Report(SERVICE_START_PENDING);
  gService.stop_requested.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  const KernelHandle job = CreateKillOnCloseJob();
  ApplyServiceEnvironment();
  const KernelHandle server =
      gService.stop_requested && job ? StartServer(job.get()) : nullptr;
  if (!server) {
    const DWORD error = GetLastError();
    LogEvent(L"Quillmesh: cannot start quillmesh.exe: error " + std::to_wstring(error));
    Report(SERVICE_STOPPED, error);
    return;
  }
  Report(SERVICE_RUNNING);
  const std::optional<DWORD> server_exit = RunServer(job.get(), server.get());
  if (server_exit) {
    // A stop with an error makes the service manager apply the restart actions.
    LogEvent(L"Quillmesh: quillmesh.exe ended by itself with exit code " +
             std::to_wstring(*server_exit));
    Report(SERVICE_STOPPED, ERROR_SERVICE_SPECIFIC_ERROR, *server_exit);
    return;
  }
  Report(SERVICE_STOPPED);
}

}  // namespace

bool RunAsService() {
  SERVICE_TABLE_ENTRYW table[] = {{const_cast<wchar_t*>(kServiceName), ServiceMain},
                                  {nullptr, nullptr}};
  return StartServiceCtrlDispatcherW(table) != FALSE;
}

}  // namespace quillmesh::service
