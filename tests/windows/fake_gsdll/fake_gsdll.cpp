// A test double of Ghostscript's gsdll64.dll, NOT Ghostscript: it exports the gsapi_*
// calls the server makes and writes deterministic page files, so the Windows PDF path
// (page window, GDI printer DC, spooler, clean-up) can run under Wine without a real
// interpreter. A document has one page per /Type /Page in it; page n of N is one
// inch square at 58 dpi, an 8-bit grey BMP filled with grey 255 * n / (N + 1), so the
// pages grow lighter; a document with forms takes ten minutes. It confines no file
// access: tests of the file rules need the real DLL. Built only with the tests, and in
// no package.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using WriteFn = int (*)(void* caller, const char* text, int length);

// The part of gsapi_fs_t the server installs: the hook asked before a file is opened.
struct FileSystemHooks {
  int (*openFile)(const void* memory, void* secret, const char* name, const char* mode,
                  void** file);
};

struct Instance {
  void* caller = nullptr;
  WriteFn writeOutput = nullptr;
  const FileSystemHooks* hooks = nullptr;
  void* hooksSecret = nullptr;
  std::string outputPattern;  // the -sOutputFile value, "%d" for the page number
};

constexpr int kIoError = -12;
constexpr int kSide = 58;
constexpr int kRowBytes = 60;  // rows are padded to four bytes
constexpr int kPaletteBytes = 256 * 4;
constexpr int kHeaderBytes = 14 + 40;
constexpr unsigned kPixelsPerMetre = 2283;  // 58 dpi

// The pages of a document: each "/Type /Page" (blanks between the names optional)
// that is not "/Type /Pages".
int CountPages(const char* path) {
  std::ifstream stream(path, std::ios::binary);
  const std::string text{std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>()};
  int pages = 0;
  for (std::size_t at = text.find("/Type"); at != std::string::npos; at = text.find("/Type", at + 1)) {
    const std::size_t name = text.find_first_not_of(" \t\r\n", at + 5);
    if (name != std::string::npos && text.compare(name, 5, "/Page") == 0 &&
        text.compare(name, 6, "/Pages") != 0) {
      ++pages;
    }
  }
  return pages;
}

// A document with forms ("/Subtype /Form") stands for a page that takes minutes to draw:
// the fake holds the document open and, like Ghostscript drawing one page, never polls.
constexpr auto kHeavyPageTime = std::chrono::minutes(10);

bool HasForms(const char* path) {
  std::ifstream stream(path, std::ios::binary);
  const std::string text{std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>()};
  return text.find("/Subtype /Form") != std::string::npos;
}

// Stores a little-endian 32-bit field.
void Put32(std::vector<unsigned char>& image, std::size_t offset, unsigned value) {
  for (std::size_t index = 0; index < 4; ++index) {
    image[offset + index] = static_cast<unsigned char>(value >> (8 * index));
  }
}

// One page file: a bottom-up 8-bit BMP with a grey palette, every pixel `grey`.
bool WritePage(const std::string& name, unsigned char grey) {
  std::vector<unsigned char> image(kHeaderBytes + kPaletteBytes + kRowBytes * kSide, grey);
  std::memset(image.data(), 0, kHeaderBytes + kPaletteBytes);
  image[0] = 'B';
  image[1] = 'M';
  Put32(image, 2, static_cast<unsigned>(image.size()));
  Put32(image, 10, kHeaderBytes + kPaletteBytes);
  Put32(image, 14, 40);
  Put32(image, 18, kSide);
  Put32(image, 22, kSide);
  image[26] = 1;  // planes
  image[28] = 8;  // bits per pixel
  Put32(image, 38, kPixelsPerMetre);
  Put32(image, 42, kPixelsPerMetre);
  Put32(image, 46, 256);
  for (int level = 0; level < 256; ++level) {
    std::memset(image.data() + kHeaderBytes + 4 * level, level, 3);
  }
  std::ofstream file(name, std::ios::binary);
  file.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
  return static_cast<bool>(file.flush());
}

// Page n's file name from the output pattern.
std::string PageName(const std::string& pattern, int page) {
  std::vector<char> name(pattern.size() + 16);
  std::snprintf(name.data(), name.size(), pattern.c_str(), page);
  return name.data();
}

}  // namespace

#define FAKE_EXPORT extern "C" __declspec(dllexport)

FAKE_EXPORT int gsapi_new_instance(void** instance, void* caller) {
  auto* created = new Instance;
  created->caller = caller;
  *instance = created;
  return 0;
}

FAKE_EXPORT void gsapi_delete_instance(void* instance) { delete static_cast<Instance*>(instance); }

FAKE_EXPORT int gsapi_set_stdio(void* instance, void* /*readInput*/, WriteFn writeOutput,
                                WriteFn /*writeError*/) {
  static_cast<Instance*>(instance)->writeOutput = writeOutput;
  return 0;
}

FAKE_EXPORT int gsapi_set_poll(void* /*instance*/, void* /*poll*/) { return 0; }
FAKE_EXPORT int gsapi_set_arg_encoding(void* /*instance*/, int /*encoding*/) { return 0; }

FAKE_EXPORT int gsapi_add_fs(void* instance, const FileSystemHooks* hooks, void* secret) {
  static_cast<Instance*>(instance)->hooks = hooks;
  static_cast<Instance*>(instance)->hooksSecret = secret;
  return 0;
}

// Keeps the output pattern; every other argument is taken as given.
FAKE_EXPORT int gsapi_init_with_args(void* instance, int count, char** arguments) {
  static constexpr char kOutput[] = "-sOutputFile=";
  for (int index = 0; index < count; ++index) {
    if (std::strncmp(arguments[index], kOutput, sizeof kOutput - 1) == 0) {
      static_cast<Instance*>(instance)->outputPattern = arguments[index] + sizeof kOutput - 1;
    }
  }
  return 0;
}

FAKE_EXPORT int gsapi_add_control_path(void*, int, const char*) { return 0; }
FAKE_EXPORT int gsapi_remove_control_path(void*, int, const char*) { return 0; }
FAKE_EXPORT void gsapi_purge_control_paths(void*, int) {}
FAKE_EXPORT int gsapi_exit(void*) { return 0; }

// Answers the server's page count query "(PATH) (r) file runpdfbegin pdfpagecount = ...".
FAKE_EXPORT int gsapi_run_string(void* instance, const char* text, int /*userErrors*/,
                                 int* exitCode) {
  *exitCode = 0;
  const char* end = std::strstr(text, ") (r) file");
  auto* self = static_cast<Instance*>(instance);
  if (text[0] != '(' || end == nullptr || self->writeOutput == nullptr) return 0;
  const std::string path(text + 1, end);
  const std::string reply = std::to_string(CountPages(path.c_str())) + "\n";
  self->writeOutput(self->caller, reply.c_str(), static_cast<int>(reply.size()));
  return 0;
}

// Writes the page files one by one, asking the server's open hook before each.
FAKE_EXPORT int gsapi_run_file(void* instance, const char* path, int /*userErrors*/,
                               int* exitCode) {
  *exitCode = 0;
  auto* self = static_cast<Instance*>(instance);
  if (HasForms(path)) {
    const std::ifstream held(path, std::ios::binary);
    std::this_thread::sleep_for(kHeavyPageTime);
  }
  const int pages = CountPages(path);
  for (int page = 1; page <= pages; ++page) {
    const std::string name = PageName(self->outputPattern, page);
    void* declined = nullptr;
    if (self->hooks != nullptr && self->hooks->openFile != nullptr &&
        self->hooks->openFile(nullptr, self->hooksSecret, name.c_str(), "wb", &declined) < 0) {
      return kIoError;
    }
    if (!WritePage(name, static_cast<unsigned char>(255 * page / (pages + 1)))) return kIoError;
  }
  return 0;
}
