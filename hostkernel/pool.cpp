// Pool: tagged blocks with tracking, fill patterns, injected failures and a
// special-pool mode that places each block against an inaccessible page.
#include "hostkernel/hostkernel.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <stdexcept>
#include <string>

namespace hk {
namespace {

constexpr unsigned char kGuardByte = 0xD7;
constexpr std::size_t kGuardBytes = 16;  // pattern in front of a special-pool block
constexpr std::size_t kMaxSpecialAlignment = 16;

struct Block {
    std::size_t size;
    ULONG tag;
    std::uint64_t serial;
    void* mapping;  // special pool: the whole mapping; else null
    std::size_t mapping_size;
};

struct Pool {
    std::map<const void*, Block> live;
    PoolStats stats;
    std::uint64_t fail_nth = 0;
    std::uint64_t fail_from = 0;
    std::function<bool(std::uint64_t, std::size_t, ULONG)> fail_when;
    bool special = false;
    std::size_t special_alignment = 1;
};

Pool& ThePool() {
    static Pool pool;
    return pool;
}

std::size_t PageSize() {
    static const std::size_t size = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    return size;
}

bool ShouldFail(Pool& pool, std::uint64_t serial, std::size_t size, ULONG tag) {
    if (pool.fail_nth != 0 && serial == pool.fail_nth) return true;
    if (pool.fail_from != 0 && serial >= pool.fail_from) return true;
    return pool.fail_when && pool.fail_when(serial, size, tag);
}

// A special-pool block: [guard pattern][block][slack] ending exactly at a
// PROT_NONE page. The block starts at a multiple of the alignment; the slack
// (fewer bytes than the alignment) holds the pattern too.
void* AllocateSpecial(std::size_t size, std::size_t alignment, Block& block) {
    const std::size_t page = PageSize();
    const std::size_t slack = (alignment - size % alignment) % alignment;
    const std::size_t payload = size + slack + kGuardBytes;
    const std::size_t data_pages = (payload + page - 1) / page;
    const std::size_t total = (data_pages + 1) * page;
    void* mapping = mmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping == MAP_FAILED) return nullptr;
    auto* bytes = static_cast<unsigned char*>(mapping);
    mprotect(bytes + data_pages * page, page, PROT_NONE);
    unsigned char* user = bytes + data_pages * page - slack - size;
    std::memset(bytes, kGuardByte, static_cast<std::size_t>(user - bytes));
    std::memset(user + size, kGuardByte, slack);
    block.mapping = mapping;
    block.mapping_size = total;
    return user;
}

void ReleaseBlock(const void* address, const Block& block) {
    if (block.mapping != nullptr) {
        auto* bytes = static_cast<const unsigned char*>(block.mapping);
        const auto* user = static_cast<const unsigned char*>(address);
        const auto* end = bytes + block.mapping_size - PageSize();
        for (auto* p = bytes; p < user; ++p) {
            if (*p != kGuardByte) {
                throw BugCheck("special pool: the bytes in front of a block of " +
                               std::to_string(block.size) + " bytes were overwritten");
            }
        }
        for (auto* p = user + block.size; p < end; ++p) {
            if (*p != kGuardByte) {
                throw BugCheck("special pool: the bytes behind a block of " +
                               std::to_string(block.size) + " bytes were overwritten");
            }
        }
        munmap(block.mapping, block.mapping_size);
    } else {
        std::free(const_cast<void*>(address));
    }
}

std::string TagText(ULONG tag) {
    std::string text;
    for (int i = 0; i < 4; ++i) {
        const char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
        text += (c >= 0x20 && c < 0x7F) ? c : '?';
    }
    return text;
}

}  // namespace

void PoolReset() {
    Pool& pool = ThePool();
    for (const auto& [address, block] : pool.live) {
        if (block.mapping != nullptr) {
            munmap(block.mapping, block.mapping_size);
        } else {
            std::free(const_cast<void*>(address));
        }
    }
    pool.live.clear();
    pool.stats = PoolStats{};
    pool.fail_nth = 0;
    pool.fail_from = 0;
    pool.fail_when = nullptr;
}

PoolStats PoolStatistics() { return ThePool().stats; }

std::vector<PoolBlock> PoolLiveBlocks() {
    std::vector<PoolBlock> blocks;
    for (const auto& [address, block] : ThePool().live) {
        blocks.push_back(PoolBlock{address, block.size, block.tag, block.serial});
    }
    return blocks;
}

std::size_t PoolLiveCount(ULONG tag) {
    std::size_t count = 0;
    for (const auto& [address, block] : ThePool().live) {
        if (block.tag == tag) ++count;
    }
    return count;
}

void PoolFailNth(std::uint64_t n) { ThePool().fail_nth = n; }
void PoolFailFrom(std::uint64_t n) { ThePool().fail_from = n; }
void PoolFailWhen(std::function<bool(std::uint64_t, std::size_t, ULONG)> predicate) {
    ThePool().fail_when = std::move(predicate);
}
void PoolClearFailures() {
    Pool& pool = ThePool();
    pool.fail_nth = 0;
    pool.fail_from = 0;
    pool.fail_when = nullptr;
}
void PoolSetSpecial(bool on, std::size_t alignment) {
    if (alignment == 0 || alignment > kMaxSpecialAlignment || (alignment & (alignment - 1)) != 0) {
        throw std::invalid_argument("special pool: alignment must be a power of two up to 16");
    }
    ThePool().special = on;
    ThePool().special_alignment = alignment;
}

}  // namespace hk

using hk::Block;

extern "C" PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
    (void)PoolType;
    hk::Pool& pool = hk::ThePool();
    const std::uint64_t serial = ++pool.stats.allocations;
    if (hk::ShouldFail(pool, serial, NumberOfBytes, Tag)) {
        ++pool.stats.failed;
        return nullptr;
    }
    if (NumberOfBytes == 0 || NumberOfBytes > (SIZE_T{1} << 32)) {
        return nullptr;
    }
    Block block{NumberOfBytes, Tag, serial, nullptr, 0};
    void* address = pool.special ? hk::AllocateSpecial(NumberOfBytes, pool.special_alignment, block)
                                 : std::malloc(NumberOfBytes);
    if (address == nullptr) return nullptr;
    // Fresh blocks are never zero: code that forgets to zero-fill must fail.
    std::memset(address, hk::kPoolFillByte, NumberOfBytes);
    pool.live.emplace(address, block);
    pool.stats.live_blocks += 1;
    pool.stats.live_bytes += NumberOfBytes;
    pool.stats.peak_blocks = std::max(pool.stats.peak_blocks, pool.stats.live_blocks);
    pool.stats.peak_bytes = std::max(pool.stats.peak_bytes, pool.stats.live_bytes);
    return address;
}

extern "C" VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag) {
    hk::Pool& pool = hk::ThePool();
    auto it = pool.live.find(P);
    if (it == pool.live.end()) {
        throw hk::BugCheck("pool: free of a block that is not allocated (double free or stray "
                           "pointer), tag " + hk::TagText(Tag));
    }
    if (it->second.tag != Tag) {
        throw hk::BugCheck("pool: block of tag " + hk::TagText(it->second.tag) +
                           " freed with tag " + hk::TagText(Tag));
    }
    const Block block = it->second;
    pool.live.erase(it);
    pool.stats.live_blocks -= 1;
    pool.stats.live_bytes -= block.size;
    hk::ReleaseBlock(P, block);
}
