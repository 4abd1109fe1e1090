#include "torch_host_memory.h"

#include <c10/core/CPUAllocator.h>
#include <c10/util/Exception.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <unordered_map>
#include <mutex>
#include <new>
#include <sys/mman.h>

namespace {

constexpr size_t kHugePage = size_t(2) << 20;

// Blocks by their address (LibTorch hands back the data pointer alone), kept blocks by size, and
// what they and the blocks in use add up to. The cache holds no more than the most that was ever
// in use at once, so a process keeps at most twice its peak.
struct Pool
{
    std::mutex mutex;
    std::unordered_map<void*, size_t> sizes;
    std::multimap<size_t, void*> kept;
    size_t keptBytes = 0;
    size_t inUse = 0;
    size_t mostInUse = 0;
};

Pool& pool()
{
    static Pool* shared = new Pool; // outlives every tensor, static ones included
    return *shared;
}

c10::Allocator* libraryAllocator = nullptr;

size_t limitFromEnvironment()
{
    const char* value = std::getenv("VELA_TRAINER_MEMORY_LIMIT");
    const long long mebibytes = value ? std::atoll(value) : 0;
    return mebibytes > 0 ? size_t(mebibytes) << 20 : 0;
}

void* fresh(size_t size)
{
    void* base = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED)
        throw std::bad_alloc();
    madvise(base, size, MADV_HUGEPAGE);
    return base;
}

} // namespace

void TorchHostMemory::install()
{
    static std::once_flag once;
    std::call_once(once, [] {
        static TorchHostMemory memory;
        libraryAllocator = c10::GetDefaultCPUAllocator();
        c10::SetCPUAllocator(&memory, /*priority=*/1);
    });
}

size_t TorchHostMemory::limit()
{
    static const size_t bytes = limitFromEnvironment();
    return bytes;
}

c10::DataPtr TorchHostMemory::allocate(size_t bytes) const
{
    if (bytes < kSmallestKept)
        return libraryAllocator->allocate(bytes);
    const size_t wanted = (bytes + kHugePage - 1) / kHugePage * kHugePage;
    Pool& p = pool();
    void* base = nullptr;
    size_t size = wanted;
    {
        std::lock_guard<std::mutex> lock(p.mutex);
        TORCH_CHECK_WITH(OutOfMemoryError, limit() == 0 || p.inUse + wanted <= limit(), "out of memory: ",
                         p.inUse >> 20, " MiB in use, ", wanted >> 20, " MiB more asked for, ",
                         limit() >> 20, " MiB allowed by VELA_TRAINER_MEMORY_LIMIT");
        // The smallest kept block that fits, unless it would waste more than a quarter.
        const auto found = p.kept.lower_bound(wanted);
        if (found != p.kept.end() && found->first <= wanted + wanted / 4) {
            size = found->first;
            base = found->second;
            p.kept.erase(found);
            p.keptBytes -= size;
        }
    }
    if (!base)
        base = fresh(size);
    {
        std::lock_guard<std::mutex> lock(p.mutex);
        p.sizes[base] = size;
        p.inUse += size;
        p.mostInUse = std::max(p.mostInUse, p.inUse);
    }
    return c10::DataPtr(base, base, &TorchHostMemory::release, c10::Device(c10::DeviceType::CPU));
}

void TorchHostMemory::release(void* data)
{
    Pool& p = pool();
    std::lock_guard<std::mutex> lock(p.mutex);
    const auto known = p.sizes.find(data);
    if (known == p.sizes.end()) {
        libraryAllocator->raw_deleter()(data); // a small block of the library's own
        return;
    }
    const size_t size = known->second;
    p.sizes.erase(known);
    p.inUse -= size;
    p.kept.emplace(size, data);
    p.keptBytes += size;
    // Over the limit, the largest kept blocks go back to the system.
    while (p.keptBytes > p.mostInUse && !p.kept.empty()) {
        const auto largest = std::prev(p.kept.end());
        munmap(largest->second, largest->first);
        p.keptBytes -= largest->first;
        p.kept.erase(largest);
    }
}
