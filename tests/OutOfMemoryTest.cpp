// Every allocation of an expansion fails in turn: each failure must come out
// as EOutOfMemory, with everything released (LeakSanitizer checks at exit)
// and nothing half-done left behind in the component.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <random>

#include "InstCompress/InstCompress.h"
#include "InstCompressPack/ArchiveWriter.h"
#include "tests/TestArchives.h"

namespace {

// Allocation number at which operator new fails; 0 when disarmed.
thread_local long failAt = 0;
thread_local long allocations = 0;

void* Allocate(std::size_t size) {
    if (failAt != 0 && ++allocations == failAt) throw std::bad_alloc();
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}

}  // namespace

void* operator new(std::size_t size) {
    return Allocate(size);
}
void* operator new[](std::size_t size) {
    return Allocate(size);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}

namespace kq {
namespace {

using pack::PackMethod;
using test::Bytes;

TEST(OutOfMemoryTest, EveryAllocationFailureIsEOutOfMemory) {
    std::mt19937 rng(5);
    Bytes plain(20000);
    for (auto& b : plain) b = static_cast<uint8_t>(rng() % 7);
    for (PackMethod method : {PackMethod::None, PackMethod::Rle, PackMethod::Lzh1, PackMethod::Lzh5}) {
        const Bytes archive = pack::BuildArchive({{"a", plain, method}, {"a", plain, method}},
                                                 pack::PackOptions{"LH5", 0, std::nullopt});
        bool completed = false;
        for (long k = 1; !completed && k < 10000; ++k) {
            TKQInstCompress component;
            TMemoryStream source(archive), dest;
            allocations = 0;
            failAt = k;
            try {
                component.ExpandNamedEntry(source, dest, "a");
                completed = true;
            } catch (const EOutOfMemory& e) {
                EXPECT_EQ(e.Message(), "Out of memory");
            } catch (...) {
                failAt = 0;
                ADD_FAILURE() << "allocation " << k << " failed with another exception";
            }
            failAt = 0;
            if (completed) {
                Bytes twice = plain;
                twice.insert(twice.end(), plain.begin(), plain.end());
                EXPECT_EQ(dest.Bytes(), twice) << pack::PackMethodName(method);
                EXPECT_GT(k, 1) << "the expansion allocated nothing";
            }
        }
        EXPECT_TRUE(completed) << pack::PackMethodName(method);
    }
}

}  // namespace
}  // namespace kq
