// The XPS package as the server reads it: the ZIP directory and the parts every package
// needs (the object model's CreatePackageFromStream), then, for a package that passes,
// the work of the bounded child run in the harness's own process: the sizes the
// directory declares and the page count checked, libgxps loading every page and
// rendering them into a PDF. libFuzzer's memory limits see every allocation of it.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/platform.h"
#include "platform/posix/xps/xps_api.h"
#include "platform/posix/xps/xps_apart.h"

namespace {

IXpsOMObjectFactory* factory = nullptr;
std::string packagePath;
std::string renderingPath;

// Budgets well below the harness's -malloc_limit_mb, so a package the checks let
// through and that still allocates past the limit is a finding.
const quillmesh::platform::XpsWorkSettings kWork{"", 64ULL << 20, 10, 50, 0};

// The child's reports go nowhere here.
class QuietReporter final : public quillmesh::platform::RenderReporter {
 public:
  void Report(quillmesh::platform::RenderStream, const char*, std::size_t) override {}
  bool AwaitPageTurn() override { return true; }
};

// A new empty file in the temporary folder; its path.
std::string ScratchFile(const char* pattern, int suffixLength) {
  std::string path = std::string("/tmp/") + pattern;
  const int descriptor = ::mkstemps(path.data(), suffixLength);
  if (descriptor < 0) std::abort();
  ::close(descriptor);
  return path;
}

// Removes the scratch files when the harness ends.
void RemoveScratchFiles() {
  std::remove(packagePath.c_str());
  std::remove(renderingPath.c_str());
}

// Writes the input as the package file the interpretation reads.
void WritePackage(const std::uint8_t* data, std::size_t size) {
  std::FILE* file = std::fopen(packagePath.c_str(), "wb");
  if (file == nullptr || std::fwrite(data, 1, size, file) != size) std::abort();
  std::fclose(file);
}

// Counts and renders the package as the child would.
void Interpret(const std::uint8_t* data, std::size_t size) {
  WritePackage(data, size);
  QuietReporter reporter;
  quillmesh::platform::InterpretXpsPackage(packagePath, std::string(), kWork, reporter);
  quillmesh::platform::InterpretXpsPackage(packagePath, renderingPath, kWork, reporter);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (FAILED(CoCreateInstance(CLSID_XpsOMObjectFactory, nullptr, CLSCTX_INPROC_SERVER,
                              IID_IXpsOMObjectFactory, reinterpret_cast<void**>(&factory)))) {
    std::abort();
  }
  packagePath = ScratchFile("qm-fuzz-XXXXXX.xps", 4);
  renderingPath = ScratchFile("qm-fuzz-XXXXXX.pdf", 4);
  std::atexit(RemoveScratchFiles);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  IStream* stream = SHCreateMemStream(data, static_cast<UINT>(size));
  if (stream == nullptr) std::abort();
  IXpsOMPackage* package = nullptr;
  const HRESULT result = factory->CreatePackageFromStream(stream, FALSE, &package);
  // A package is what its reader accepted: it must write back exactly the bytes read.
  if (SUCCEEDED(result)) {
    IStream* copy = nullptr;
    if (FAILED(CreateStreamOnHGlobal(nullptr, TRUE, &copy)) ||
        FAILED(package->WriteToStream(copy, FALSE))) {
      std::abort();
    }
    copy->Release();
    package->Release();
    Interpret(data, size);
  } else if (package != nullptr) {
    std::abort();
  }
  stream->Release();
  return 0;
}
