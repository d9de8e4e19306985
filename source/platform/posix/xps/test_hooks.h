// Failures the tests provoke inside the Linux platform layer, where nothing else can
// make them happen on demand.
#pragma once

namespace quillmesh::platform {

// After this many more archive buffers (the ZIP reader's directory and part buffers,
// the largest allocations of an XPS job) are made, the next one throws std::bad_alloc;
// -1 disarms it. The count is shared by every thread.
void FailArchiveAllocation(int successfulBefore);

}  // namespace quillmesh::platform
