#include "platform/posix/cups/cups_settings.h"

#include <algorithm>
#include <string_view>

#include "platform/paper_table.h"

namespace quillmesh::platform {

namespace {

constexpr int kStandardResolution = 600;
constexpr int kIppPortrait = 3;
constexpr int kIppLandscape = 4;
constexpr const char* kOneSided = "one-sided";
constexpr const char* kLongEdge = "two-sided-long-edge";
constexpr const char* kShortEdge = "two-sided-short-edge";
constexpr const char* kCollated = "separate-documents-collated-copies";
constexpr const char* kUncollated = "separate-documents-uncollated-copies";

// A request addressed to the queue.
IppMessage QueueRequest(ipp_op_t operation, const std::string& queue) {
  IppMessage request(ippNewRequest(operation));
  char uri[HTTP_MAX_URI];
  httpAssembleURIf(HTTP_URI_CODING_ALL, uri, sizeof uri, "ipp", nullptr, "localhost", ippPort(),
                   "/printers/%s", queue.c_str());
  ippAddString(request.get(), IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, uri);
  ippAddString(request.get(), IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr,
               cupsUser());
  return request;
}

// True when the queue takes the setting: it reports its -supported or -default
// attribute, or lists it among the attributes a job may be created with. A raw queue
// (no PPD) reports neither media-supported nor media-default, yet takes media for its
// jobs and keeps a media-default written to it.
bool Supports(ipp_t* response, const std::string& name) {
  ipp_attribute_t* creationAttributes =
      ippFindAttribute(response, "job-creation-attributes-supported", IPP_TAG_KEYWORD);
  return ippFindAttribute(response, (name + "-supported").c_str(), IPP_TAG_ZERO) != nullptr ||
         ippFindAttribute(response, (name + "-default").c_str(), IPP_TAG_ZERO) != nullptr ||
         (creationAttributes != nullptr && ippContainsString(creationAttributes, name.c_str()));
}

// The first value of a text attribute, or empty.
std::string_view TextOf(ipp_t* response, const char* name) {
  ipp_attribute_t* attribute = ippFindAttribute(response, name, IPP_TAG_ZERO);
  const char* text = attribute ? ippGetString(attribute, 0, nullptr) : nullptr;
  return text ? text : "";
}

// The first value of an integer or enum attribute, or the fallback.
int IntegerOf(ipp_t* response, const char* name, int fallback) {
  ipp_attribute_t* attribute = ippFindAttribute(response, name, IPP_TAG_ZERO);
  return attribute ? ippGetInteger(attribute, 0) : fallback;
}

// The default resolution's horizontal dots per inch.
int ResolutionOf(ipp_t* response) {
  ipp_attribute_t* attribute =
      ippFindAttribute(response, "printer-resolution-default", IPP_TAG_RESOLUTION);
  if (attribute == nullptr) return kStandardResolution;
  int vertical = 0;
  ipp_res_t units = IPP_RES_PER_INCH;
  const int horizontal = ippGetResolution(attribute, 0, &vertical, &units);
  if (horizontal <= 0) return kStandardResolution;
  return units == IPP_RES_PER_CM ? static_cast<int>(horizontal * 2.54 + 0.5) : horizontal;
}

// A margin of the default media: from media-col-default, else the smallest value of
// media-<side>-margin-supported (what the printer can do at best), else 0.
int MarginOf(ipp_t* response, const std::string& side) {
  const std::string name = "media-" + side + "-margin";
  ipp_attribute_t* collection = ippFindAttribute(response, "media-col-default", IPP_TAG_BEGIN_COLLECTION);
  if (collection != nullptr) {
    ipp_attribute_t* margin =
        ippFindAttribute(ippGetCollection(collection, 0), name.c_str(), IPP_TAG_INTEGER);
    if (margin != nullptr) return std::max(0, ippGetInteger(margin, 0));
  }
  ipp_attribute_t* supported =
      ippFindAttribute(response, (name + "-supported").c_str(), IPP_TAG_INTEGER);
  if (supported == nullptr) return 0;
  int smallest = ippGetInteger(supported, 0);
  for (int index = 1; index < ippGetCount(supported); ++index) {
    smallest = std::min(smallest, ippGetInteger(supported, index));
  }
  return std::max(0, smallest);
}

// The upper bound of copies-supported; 1 when the queue does not say.
int MaxCopiesOf(ipp_t* response) {
  ipp_attribute_t* copies = ippFindAttribute(response, "copies-supported", IPP_TAG_RANGE);
  if (copies == nullptr) return 1;
  int upper = 1;
  ippGetRange(copies, 0, &upper);
  return std::max(1, upper);
}

// Fills the DEVMODE from the attributes of a Get-Printer-Attributes response.
void FillDefaults(ipp_t* response, DEVMODEW& defaults) {
  const PaperRow* paper = PaperForMedia(TextOf(response, "media-default"));
  defaults.dmPaperSize = paper ? paper->code : PaperForCode(0).code;
  defaults.dmOrientation = IntegerOf(response, "orientation-requested-default", kIppPortrait) ==
                                   kIppLandscape
                               ? DMORIENT_LANDSCAPE
                               : DMORIENT_PORTRAIT;
  defaults.dmCopies = static_cast<short>(IntegerOf(response, "copies-default", 1));
  const std::string_view sides = TextOf(response, "sides-default");
  defaults.dmDuplex = sides == kLongEdge    ? DMDUP_VERTICAL
                      : sides == kShortEdge ? DMDUP_HORIZONTAL
                                            : DMDUP_SIMPLEX;
  defaults.dmColor =
      TextOf(response, "print-color-mode-default") == "monochrome" ? DMCOLOR_MONOCHROME : DMCOLOR_COLOR;
  defaults.dmCollate = TextOf(response, "multiple-document-handling-default") == kUncollated
                           ? DMCOLLATE_FALSE
                           : DMCOLLATE_TRUE;
  defaults.dmNup = static_cast<DWORD>(IntegerOf(response, "number-up-default", 1));

  const std::pair<const char*, DWORD> fields[] = {
      {"media", DM_PAPERSIZE},        {"orientation-requested", DM_ORIENTATION},
      {"copies", DM_COPIES},          {"sides", DM_DUPLEX},
      {"print-color-mode", DM_COLOR}, {"multiple-document-handling", DM_COLLATE},
      {"number-up", DM_NUP},
  };
  for (const auto& [name, bit] : fields) {
    if (Supports(response, name)) defaults.dmFields |= bit;
  }
}

}  // namespace

DWORD Win32ErrorOfCups(ipp_status_t status) {
  switch (status) {
    case IPP_STATUS_OK:
    case IPP_STATUS_OK_IGNORED_OR_SUBSTITUTED:
    case IPP_STATUS_OK_CONFLICTING:
      return ERROR_SUCCESS;
    case IPP_STATUS_ERROR_NOT_FOUND:
      return ERROR_INVALID_PRINTER_NAME;
    case IPP_STATUS_ERROR_FORBIDDEN:
    case IPP_STATUS_ERROR_NOT_AUTHENTICATED:
    case IPP_STATUS_ERROR_NOT_AUTHORIZED:
    case IPP_STATUS_ERROR_CUPS_AUTHENTICATION_CANCELED:
      return ERROR_ACCESS_DENIED;
    case IPP_STATUS_ERROR_SERVICE_UNAVAILABLE:
    case IPP_STATUS_ERROR_INTERNAL:
      return RPC_S_SERVER_UNAVAILABLE;
    default:
      return ERROR_INVALID_PARAMETER;
  }
}

bool ReadQueueDefaults(const std::string& queue, DEVMODEW& defaults, QueueFacts& facts,
                       DWORD& error) {
  IppMessage request = QueueRequest(IPP_OP_GET_PRINTER_ATTRIBUTES, queue);
  IppMessage response(cupsDoRequest(CUPS_HTTP_DEFAULT, request.release(), "/"));
  if (!response || cupsLastError() > IPP_STATUS_OK_CONFLICTING) {
    error = Win32ErrorOfCups(cupsLastError());
    return false;
  }
  defaults = DEVMODEW{};
  const std::u16string deviceName(queue.begin(), queue.end());
  for (std::size_t index = 0; index < deviceName.size() && index + 1 < CCHDEVICENAME; ++index) {
    defaults.dmDeviceName[index] = deviceName[index];
  }
  defaults.dmSpecVersion = DM_SPECVERSION;
  defaults.dmSize = sizeof(DEVMODEW);
  FillDefaults(response.get(), defaults);
  facts.resolution = ResolutionOf(response.get());
  facts.margins = {MarginOf(response.get(), "left"), MarginOf(response.get(), "right"),
                   MarginOf(response.get(), "top"), MarginOf(response.get(), "bottom")};
  facts.maxCopies = MaxCopiesOf(response.get());
  return true;
}

bool WriteQueueDefaults(const std::string& queue, const DEVMODEW& defaults, DWORD& error) {
  IppMessage request = QueueRequest(IPP_OP_CUPS_ADD_MODIFY_PRINTER, queue);
  ipp_t* message = request.get();
  if (defaults.dmFields & DM_PAPERSIZE) {
    ippAddString(message, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, "media-default", nullptr,
                 std::string(PaperForCode(defaults.dmPaperSize).pwg).c_str());
  }
  if (defaults.dmFields & DM_ORIENTATION) {
    ippAddInteger(message, IPP_TAG_PRINTER, IPP_TAG_ENUM, "orientation-requested-default",
                  defaults.dmOrientation == DMORIENT_LANDSCAPE ? kIppLandscape : kIppPortrait);
  }
  if (defaults.dmFields & DM_DUPLEX) {
    const char* sides = defaults.dmDuplex == DMDUP_VERTICAL     ? kLongEdge
                        : defaults.dmDuplex == DMDUP_HORIZONTAL ? kShortEdge
                                                                : kOneSided;
    ippAddString(message, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, "sides-default", nullptr, sides);
  }
  if (defaults.dmFields & DM_COPIES && defaults.dmCopies > 0) {
    ippAddInteger(message, IPP_TAG_PRINTER, IPP_TAG_INTEGER, "copies-default", defaults.dmCopies);
  }
  if (defaults.dmFields & DM_COLOR) {
    ippAddString(message, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, "print-color-mode-default", nullptr,
                 defaults.dmColor == DMCOLOR_MONOCHROME ? "monochrome" : "color");
  }
  if (defaults.dmFields & DM_COLLATE) {
    ippAddString(message, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, "multiple-document-handling-default",
                 nullptr, defaults.dmCollate == DMCOLLATE_FALSE ? kUncollated : kCollated);
  }
  if (defaults.dmFields & DM_NUP && defaults.dmNup > 0) {
    ippAddInteger(message, IPP_TAG_PRINTER, IPP_TAG_INTEGER, "number-up-default",
                  static_cast<int>(defaults.dmNup));
  }
  IppMessage response(cupsDoRequest(CUPS_HTTP_DEFAULT, request.release(), "/admin/"));
  if (cupsLastError() > IPP_STATUS_OK_CONFLICTING) {
    error = Win32ErrorOfCups(cupsLastError());
    return false;
  }
  return true;
}

}  // namespace quillmesh::platform
