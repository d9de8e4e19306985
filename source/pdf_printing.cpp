#include "log_writer.h"
#include "print_paths.h"

int PrintFileWithProperty(const char* printerName, const char* fileName,
                          const std::string& property) {
  LOG_ERROR("PDF printing is not built yet: job file %s for printer %s (propLen=%zu) is kept\n",
            fileName, printerName, property.size());
  return -1;
}

int PrintFile(const char* printerName, const char* fileName) {
  LOG_ERROR("PDF printing is not built yet: job file %s for printer %s is kept\n", fileName,
            printerName);
  return -1;
}
