// The server's figures in the Prometheus text format, for GET /metrics.
#pragma once

#include <string>

#include "admin/admin_sources.h"

std::string MetricsText(const AdminSources& sources);
