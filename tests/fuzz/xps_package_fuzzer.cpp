// The XPS package reader behind the object model's CreatePackageFromStream: the ZIP
// directory and the parts every package needs. Only the public entry point is called,
// so the harness holds whatever the reader grows into.
#include <cstdint>
#include <cstdlib>

#include "platform/platform.h"
#include "platform/posix/xps/xps_api.h"

namespace {

IXpsOMObjectFactory* factory = nullptr;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (FAILED(CoCreateInstance(CLSID_XpsOMObjectFactory, nullptr, CLSCTX_INPROC_SERVER,
                              IID_IXpsOMObjectFactory, reinterpret_cast<void**>(&factory)))) {
    std::abort();
  }
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
  } else if (package != nullptr) {
    std::abort();
  }
  stream->Release();
  return 0;
}
