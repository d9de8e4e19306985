#include "log_writer.h"
#include "print_paths.h"

int PrintXpsToPrinter(const char* printerName, const char* fileName, const std::string& property) {
  LOG_ERROR("XPS printing is not built yet: job file %s for printer %s (propLen=%zu) is kept\n",
            fileName, printerName, property.size());
  return -1;
}
