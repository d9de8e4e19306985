// Owners of what the seam hands out: files, printers, kernel handles, device contexts,
// global memory, PrintTicket providers and COM references. Each releases what it holds
// exactly once, on whichever path leaves its scope.
#pragma once

#include <cstddef>
#include <cstdio>
#include <memory>
#include <type_traits>
#include <utility>

#include "platform/com.h"

namespace quillmesh::platform {

namespace detail {

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
struct PrinterCloser {
  void operator()(HANDLE printer) const { ClosePrinter(printer); }
};
struct HandleCloser {
  void operator()(HANDLE handle) const { CloseHandle(handle); }
};
struct DcDeleter {
  void operator()(HDC dc) const { DeleteDC(dc); }
};
struct GlobalMemoryFreer {
  void operator()(HGLOBAL memory) const { GlobalFree(memory); }
};
struct ProviderCloser {
  void operator()(HPTPROVIDER provider) const { PTCloseProvider(provider); }
};

}  // namespace detail

// A C runtime file, closed with fclose.
using FileOwner = std::unique_ptr<std::FILE, detail::FileCloser>;
// A printer from OpenPrinter, closed with ClosePrinter.
using PrinterOwner = std::unique_ptr<std::remove_pointer_t<HANDLE>, detail::PrinterCloser>;
// A kernel handle (an event, a token), closed with CloseHandle.
using HandleOwner = std::unique_ptr<std::remove_pointer_t<HANDLE>, detail::HandleCloser>;
// A device context from CreateDC or CreateCompatibleDC, deleted with DeleteDC.
using DcOwner = std::unique_ptr<std::remove_pointer_t<HDC>, detail::DcDeleter>;
// A block from GlobalAlloc, freed with GlobalFree.
using GlobalMemoryOwner =
    std::unique_ptr<std::remove_pointer_t<HGLOBAL>, detail::GlobalMemoryFreer>;
// A PrintTicket provider from PTOpenProvider, closed with PTCloseProvider.
using ProviderOwner =
    std::unique_ptr<std::remove_pointer_t<HPTPROVIDER>, detail::ProviderCloser>;

// One reference to a COM interface, released exactly once.
template <typename Interface>
class ComRef {
 public:
  ComRef() = default;
  // Takes over a reference the caller holds.
  explicit ComRef(Interface* held) : mPointer(held) {}
  ComRef(const ComRef&) = delete;
  ComRef& operator=(const ComRef&) = delete;
  ~ComRef() { Reset(); }

  Interface* get() const { return mPointer; }
  Interface* operator->() const { return mPointer; }
  explicit operator bool() const { return mPointer != nullptr; }
  bool operator==(std::nullptr_t) const { return mPointer == nullptr; }

  // The slot an out-parameter fills; a reference held before is released first.
  Interface** Receive() {
    Reset();
    return &mPointer;
  }

  // Hands the reference to the caller, who releases it.
  Interface* Detach() { return std::exchange(mPointer, nullptr); }

  void Reset() {
    if (mPointer != nullptr) std::exchange(mPointer, nullptr)->Release();
  }

 private:
  Interface* mPointer = nullptr;
};

}  // namespace quillmesh::platform
