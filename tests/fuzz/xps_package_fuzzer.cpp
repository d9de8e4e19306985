// The XPS package as the server reads it: the ZIP directory and the parts every package
// needs (the object model's CreatePackageFromStream), then, for a package that passes,
// the bounded interpretation as the server runs it: a child process that checks the
// declared sizes and the page count and lets libgxps count and render, ended by its
// memory and time limits. libgxps's own costs (it walks the archive once per part) are
// the child's limits to bound; libFuzzer's limits judge what stays in the harness's
// process, so a package that holds or stalls the server's side is a finding.
#include <unistd.h>

#include <atomic>
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

// The child's budgets: counting and rendering together end well within the harness's
// -timeout, and their memory is the child's alone.
const quillmesh::platform::XpsWorkSettings kWork{"", 64ULL << 20, 3, 50, 0};

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

// Counts and renders the package apart, as the server does.
void Interpret(const std::uint8_t* data, std::size_t size) {
  WritePackage(data, size);
  const std::atomic<bool> cancelled{false};
  quillmesh::platform::XpsJobOutcome counted;
  if (!quillmesh::platform::CountXpsPagesApart(packagePath, kWork, cancelled, counted)) return;
  quillmesh::platform::XpsJobOutcome rendered;
  quillmesh::platform::RenderXpsToPdfApart(packagePath, renderingPath, kWork, cancelled, rendered);
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
