// Registering and removing the Quillmesh service with the service control manager.
#include <cstdio>

#include "service/service_host.h"

namespace quillmesh::service {

namespace {

// Restart after 5 s, three times in a row; the count starts again after a day
// without failure.
constexpr DWORD kRestartDelayMillis = 5000;
constexpr DWORD kFailureResetSeconds = 24 * 60 * 60;
constexpr DWORD kStopWaitMillis = 30000;
constexpr DWORD kStopPollMillis = 250;

// Prints "quillmesh-service: what: error" on stderr and returns exit code 1.
int Fail(const char* what, DWORD code) {
  std::fprintf(stderr, "quillmesh-service: %s: %s\n", what, ErrorText(code).c_str());
  return 1;
}

// Creates the service, or opens the existing one and sets the same configuration.
ServiceHandle CreateOrUpdate(SC_HANDLE manager, const std::wstring& command) {
  const DWORD access = SERVICE_CHANGE_CONFIG | SERVICE_QUERY_CONFIG;
  // No account name: the service runs as LocalSystem.
  ServiceHandle service(CreateServiceW(manager, kServiceName, kDisplayName, access,
                                       SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                       SERVICE_ERROR_NORMAL, command.c_str(), nullptr, nullptr,
                                       nullptr, nullptr, nullptr));
  if (service || GetLastError() != ERROR_SERVICE_EXISTS) return service;
  ServiceHandle existing(OpenServiceW(manager, kServiceName, access));
  if (existing &&
      !ChangeServiceConfigW(existing.get(), SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                            SERVICE_ERROR_NORMAL, command.c_str(), nullptr, nullptr, nullptr,
                            L"LocalSystem", L"", kDisplayName)) {
    const DWORD error = GetLastError();
    existing.reset();
    SetLastError(error);
  }
  return existing;
}

// Sets the description and the restart-on-failure actions.
bool ConfigureRecovery(SC_HANDLE service) {
  SERVICE_DESCRIPTIONW description{const_cast<wchar_t*>(kDescription)};
  SC_ACTION restarts[3] = {{SC_ACTION_RESTART, kRestartDelayMillis},
                           {SC_ACTION_RESTART, kRestartDelayMillis},
                           {SC_ACTION_RESTART, kRestartDelayMillis}};
  SERVICE_FAILURE_ACTIONSW actions{kFailureResetSeconds, nullptr, nullptr, 3, restarts};
  return ChangeServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, &description) &&
         ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, &actions);
}

// Makes a stop with an error code (the server ended by itself) count as a failure
// too. A service manager without that setting (Wine's) restarts only after crashes:
// said as a warning, not a failure of the installation.
void RestartAfterErrorExits(SC_HANDLE service) {
  SERVICE_FAILURE_ACTIONS_FLAG on_error_exit{TRUE};
  if (!ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &on_error_exit)) {
    std::fprintf(stderr,
                 "quillmesh-service: warning: this service manager cannot restart a service "
                 "that stops with an error, only one that crashes: %s\n",
                 ErrorText(GetLastError()).c_str());
  }
}

// Asks a running service to stop and waits until it has.
bool StopAndWait(SC_HANDLE service) {
  SERVICE_STATUS status{};
  if (!QueryServiceStatus(service, &status)) return false;
  if (status.dwCurrentState == SERVICE_STOPPED) return true;
  if (!ControlService(service, SERVICE_CONTROL_STOP, &status) &&
      GetLastError() != ERROR_SERVICE_NOT_ACTIVE) {
    return false;
  }
  for (DWORD waited = 0; waited < kStopWaitMillis; waited += kStopPollMillis) {
    if (!QueryServiceStatus(service, &status)) return false;
    if (status.dwCurrentState == SERVICE_STOPPED) return true;
    Sleep(kStopPollMillis);
  }
  SetLastError(ERROR_SERVICE_REQUEST_TIMEOUT);
  return false;
}

}  // namespace

int InstallService() {
  const std::wstring program = PathBesideProgram(L"quillmesh-service.exe");
  if (program.empty()) return Fail("cannot find this program's path", GetLastError());
  ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE));
  if (!manager) return Fail("cannot open the service control manager", GetLastError());
  const ServiceHandle service = CreateOrUpdate(manager.get(), L"\"" + program + L"\"");
  if (!service) return Fail("cannot register the service", GetLastError());
  if (!ConfigureRecovery(service.get())) {
    return Fail("cannot set the service's restart on failure", GetLastError());
  }
  RestartAfterErrorExits(service.get());
  std::printf("quillmesh-service: service \"Quillmesh\" installed (LocalSystem, automatic start); "
              "start it with: net start Quillmesh\n");
  return 0;
}

int UninstallService() {
  ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) return Fail("cannot open the service control manager", GetLastError());
  ServiceHandle service(
      OpenServiceW(manager.get(), kServiceName, SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE));
  if (!service) return Fail("cannot open the service", GetLastError());
  if (!StopAndWait(service.get())) return Fail("cannot stop the service", GetLastError());
  if (!DeleteService(service.get())) return Fail("cannot remove the service", GetLastError());
  std::printf("quillmesh-service: service \"Quillmesh\" removed\n");
  return 0;
}

}  // namespace quillmesh::service
