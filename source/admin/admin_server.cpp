#include "admin/admin_server.h"

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <system_error>
#include <thread>
#include <utility>

#include "admin/admin_access.h"
#include "admin/admin_pages.h"
#include "admin/jobs_json.h"
#include "admin/metrics_text.h"
#include "support/log_writer.h"

namespace {

// A few threads serve a handful of administrators; more requests wait their turn.
constexpr std::size_t kWorkerThreads = 4;
constexpr time_t kReadWriteTimeoutSeconds = 10;
constexpr time_t kKeepAliveSeconds = 5;
// The largest request body: a cancel's form is one token.
constexpr std::size_t kLargestBody = 4096;

constexpr char kHtml[] = "text/html; charset=utf-8";
constexpr char kJson[] = "application/json";

// On every response: no script but the window's own file, no framing, nothing cached.
const httplib::Headers& SecurityHeaders() {
  static const httplib::Headers headers = {
      {"Content-Security-Policy",
       "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; "
       "connect-src 'self'; form-action 'self'; frame-ancestors 'none'; base-uri 'none'"},
      {"X-Content-Type-Options", "nosniff"},
      {"Referrer-Policy", "no-referrer"},
      {"Cache-Control", "no-store"},
  };
  return headers;
}

// A plain answer with the status, for refusals and missing pages.
void Refuse(httplib::Response& response, int status, const char* text) {
  response.status = status;
  response.set_content(text, "text/plain; charset=utf-8");
}

// The job number of a /jobs/N or /api/jobs/N request; empty answers 404.
std::optional<std::uint32_t> JobNumber(const httplib::Request& request,
                                       httplib::Response& response) {
  std::optional<std::uint32_t> id = ParseJobNumber(request.matches[1].str());
  if (!id) Refuse(response, 404, "no such job\n");
  return id;
}

}  // namespace

bool AdminWindowHasTls() {
#ifdef CPPHTTPLIB_OPENSSL_SUPPORT
  return true;
#else
  return false;
#endif
}

// What serves once started: the HTTP server, its listening thread, and what every
// request is checked and answered with.
struct AdminServer::Serving {
  std::unique_ptr<httplib::Server> http;
  std::thread thread;
  AdminGuard guard;
  PageContext context;
  std::atomic<bool> listenEnded{false};
};

AdminServer::AdminServer(AdminSources& sources, const AdminWindowSettings& settings)
    : mSources(sources), mSettings(settings) {}

AdminServer::~AdminServer() {
  if (!mServing) return;
  mServing->http->stop();
  if (mServing->thread.joinable()) mServing->thread.join();
}

std::string AdminServer::Url() const {
  const char* scheme = mSettings.certificatePath.empty() ? "http" : "https";
  return std::string(scheme) + "://" + mSettings.host + ":" + std::to_string(mSettings.port);
}

namespace {

// The HTTP server the settings ask for: over TLS with a certificate; empty when the
// certificate or its key cannot be read.
std::unique_ptr<httplib::Server> NewHttpServer(const AdminWindowSettings& settings) {
#ifdef CPPHTTPLIB_OPENSSL_SUPPORT
  if (!settings.certificatePath.empty()) {
    auto tls = std::make_unique<httplib::SSLServer>(settings.certificatePath.c_str(),
                                                    settings.keyPath.c_str());
    if (!tls->is_valid()) return nullptr;
    return tls;
  }
#else
  static_cast<void>(settings);
#endif
  return std::make_unique<httplib::Server>();
}

// Bounds what one client can take: threads, time and request size.
void LimitServer(httplib::Server& http) {
  http.new_task_queue = [] { return new httplib::ThreadPool(kWorkerThreads); };
  http.set_read_timeout(kReadWriteTimeoutSeconds, 0);
  http.set_write_timeout(kReadWriteTimeoutSeconds, 0);
  http.set_keep_alive_timeout(kKeepAliveSeconds);
  http.set_payload_max_length(kLargestBody);
  http.set_default_headers(SecurityHeaders());
}

// Answers 403 or 401 before any route for a request the guard refuses.
void GuardEveryRequest(httplib::Server& http, const AdminGuard& guard) {
  http.set_pre_routing_handler([&guard](const httplib::Request& request,
                                        httplib::Response& response) {
    switch (guard.Decide(request.remote_addr, request.get_header_value("Authorization"))) {
      case AdminAccess::kAllowed:
        return httplib::Server::HandlerResponse::Unhandled;
      case AdminAccess::kForbidden:
        Refuse(response, 403, "this address may not use the administrator's window\n");
        break;
      case AdminAccess::kUnauthorized:
        response.set_header("WWW-Authenticate", "Basic realm=\"Quillmesh\", charset=\"UTF-8\"");
        Refuse(response, 401, "the administrator's password is needed\n");
        break;
    }
    return httplib::Server::HandlerResponse::Handled;
  });
  http.set_error_handler([](const httplib::Request&, httplib::Response& response) {
    if (response.body.empty()) response.set_content("not found\n", "text/plain; charset=utf-8");
  });
}

// The pages, the page's script and style.
void RoutePages(httplib::Server& http, const AdminSources& sources, const PageContext& context) {
  http.Get("/", [&](const httplib::Request&, httplib::Response& response) {
    response.set_content(OverviewPage(sources, context), kHtml);
  });
  http.Get("/live/overview", [&](const httplib::Request&, httplib::Response& response) {
    response.set_content(OverviewLivePart(sources, context), kHtml);
  });
  http.Get(R"(/jobs/([^/]+))", [&](const httplib::Request& request, httplib::Response& response) {
    const std::optional<std::uint32_t> id = JobNumber(request, response);
    if (!id) return;
    const std::optional<std::string> page = JobPage(sources, *id, context);
    if (!page) return Refuse(response, 404, "no such job\n");
    response.set_content(*page, kHtml);
  });
  http.Get("/log", [&](const httplib::Request& request, httplib::Response& response) {
    LogFilter filter;
    filter.peer = request.get_param_value("peer");
    if (request.has_param("job")) {
      const std::optional<std::uint32_t> id = ParseJobNumber(request.get_param_value("job"));
      if (!id) return Refuse(response, 400, "job must be a job number\n");
      filter.jobId = *id;
    }
    response.set_content(LogPage(sources, filter), kHtml);
  });
  http.Get("/settings", [&](const httplib::Request&, httplib::Response& response) {
    response.set_content(SettingsPage(sources), kHtml);
  });
  http.Get("/admin.js", [](const httplib::Request&, httplib::Response& response) {
    const std::string_view script = AdminScript();
    response.set_content(script.data(), script.size(), "text/javascript; charset=utf-8");
  });
  http.Get("/admin.css", [](const httplib::Request&, httplib::Response& response) {
    const std::string_view style = AdminStyle();
    response.set_content(style.data(), style.size(), "text/css; charset=utf-8");
  });
}

// A cancel: the page's token first (403 without it, nothing canceled), then back to the
// job's page.
void RouteCancel(httplib::Server& http, AdminSources& sources, const PageContext& context) {
  http.Post(R"(/jobs/([^/]+)/cancel)",
            [&](const httplib::Request& request, httplib::Response& response) {
              const std::optional<std::uint32_t> id = JobNumber(request, response);
              if (!id) return;
              if (!CancelTokenMatches(context.cancelToken, request.get_param_value("token"))) {
                return Refuse(response, 403, "the cancel's token is missing or wrong\n");
              }
              if (!sources.Job(*id)) return Refuse(response, 404, "no such job\n");
              sources.CancelJob(*id);
              response.set_redirect("/jobs/" + std::to_string(*id), 303);
            });
}

// The machine-readable answers: metrics and jobs.
void RouteData(httplib::Server& http, const AdminSources& sources) {
  http.Get("/metrics", [&](const httplib::Request&, httplib::Response& response) {
    response.set_content(MetricsText(sources), "text/plain; version=0.0.4; charset=utf-8");
  });
  http.Get("/api/jobs", [&](const httplib::Request&, httplib::Response& response) {
    response.set_content(JobsJson(sources.Jobs()), kJson);
  });
  http.Get(R"(/api/jobs/([^/]+))",
           [&](const httplib::Request& request, httplib::Response& response) {
             const std::optional<std::uint32_t> id = JobNumber(request, response);
             if (!id) return;
             const std::optional<JobRecord> job = sources.Job(*id);
             if (!job) return Refuse(response, 404, "no such job\n");
             response.set_content(JobJson(*job), kJson);
           });
}

}  // namespace

bool AdminServer::Start() {
  const std::string url = Url();
  std::unique_ptr<httplib::Server> http = NewHttpServer(mSettings);
  if (!http) {
    LOG_ERROR("the administrator's window cannot read QUILLMESH_ADMIN_CERT or "
              "QUILLMESH_ADMIN_KEY; the server goes on without it\n");
    return false;
  }
  // Built in place: its atomic flag cannot be moved.
  std::unique_ptr<Serving> serving(
      new Serving{std::move(http), {}, AdminGuard(mSettings.allow, mSettings.password), {}});
  serving->context.cancelToken = NewCancelToken();
  if (serving->context.cancelToken.empty()) {
    LOG_ERROR("no random token for the administrator's window: its cancel buttons refuse\n");
  }
  httplib::Server& server = *serving->http;
  LimitServer(server);
  GuardEveryRequest(server, serving->guard);
  RoutePages(server, mSources, serving->context);
  RouteCancel(server, mSources, serving->context);
  RouteData(server, mSources);
  if (!server.bind_to_port(mSettings.host, mSettings.port)) {
    LOG_ERROR("the administrator's window cannot listen on %s:%u; the server goes on "
              "without it\n",
              mSettings.host.c_str(), static_cast<unsigned>(mSettings.port));
    return false;
  }
  try {
    serving->thread = std::thread([&server, &ended = serving->listenEnded] {
      server.listen_after_bind();
      ended = true;
    });
  } catch (const std::system_error& failure) {
    LOG_ERROR("cannot start the administrator's window's thread: %s\n", failure.what());
    return false;
  }
  // A stop before the listening loop began would go unnoticed by it, and the
  // destructor would wait for ever: the loop is under way before Start returns.
  while (!server.is_running() && !serving->listenEnded) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  mServing = std::move(serving);
  std::uint32_t address = 0;
  ParseIpv4Address(mSettings.host, address);
  if (!IsLoopbackAddress(address) && mSettings.certificatePath.empty()) {
    LOG_ERROR("the administrator's window on %s has no TLS: its password crosses the network "
              "in the clear (set QUILLMESH_ADMIN_CERT and QUILLMESH_ADMIN_KEY, or use an SSH "
              "tunnel)\n",
              url.c_str());
  }
  LOG_DEBUG("administrator's window on %s\n", url.c_str());
  return true;
}
