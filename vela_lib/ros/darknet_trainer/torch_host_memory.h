#pragma once

#include <c10/core/Allocator.h>

#include <cstddef>
#include <cstring>

// LibTorch's host memory for training: large blocks are kept when a tensor lets go of them and
// handed to the next tensor of (about) the same size, instead of going back to the system. A
// training iteration makes and drops the same tensors every time, and fresh memory costs a page
// fault per page when first written (on a virtual machine several times a fast kernel's whole
// work on it); the darknet engine avoids this by allocating everything once. New blocks ask for
// transparent huge pages. Small blocks stay with LibTorch's own allocator.
//
// VELA_TRAINER_MEMORY_LIMIT=<MiB> caps the large blocks in use: beyond it the allocation fails
// with LibTorch's out-of-memory error, as a full GPU's does, so that what the trainer does then
// can be seen on any machine.
class TorchHostMemory final : public c10::Allocator
{
public:
    // Makes it LibTorch's CPU allocator; once per process, later calls do nothing.
    static void install();
    // The cap in bytes that VELA_TRAINER_MEMORY_LIMIT sets; 0 without one.
    static size_t limit();

    // LibTorch before 2.3 asks for a const allocate; later ones for a non-const allocate and a
    // copy_data. All three are declared, without override, so that whichever the library's
    // Allocator has is the one overridden.
    c10::DataPtr allocate(size_t bytes) const;
    c10::DataPtr allocate(size_t bytes) { return static_cast<const TorchHostMemory*>(this)->allocate(bytes); }
    void copy_data(void* dest, const void* src, std::size_t count) const { std::memcpy(dest, src, count); }
    c10::DeleterFnPtr raw_deleter() const override { return &release; }

    // Blocks from this size on are kept.
    static constexpr size_t kSmallestKept = size_t(1) << 20;

private:
    static void release(void* data);
};
