// Counts heap allocations over a whole run of many pictures: after the first picture there
// must be none. Built without sanitizers, which bring their own allocator.
#include <gtest/gtest.h>

#include <cstdio>
#include <fcntl.h>
#include <new>
#include <unistd.h>

#include "fakeusb.h"

extern "C" void *__libc_malloc(size_t);
extern "C" void *__libc_calloc(size_t, size_t);
extern "C" void *__libc_realloc(void *, size_t);

namespace {
bool counting;
long allocations;
long pictures;
} // namespace

extern "C" void *malloc(size_t n)
{
    allocations += counting;
    return __libc_malloc(n);
}

extern "C" void *calloc(size_t n, size_t size)
{
    allocations += counting;
    return __libc_calloc(n, size);
}

extern "C" void *realloc(void *p, size_t n)
{
    allocations += counting;
    return __libc_realloc(p, n);
}

void *operator new(size_t n)
{
    allocations += counting;
    void *p = __libc_malloc(n ? n : 1);
    if (!p)
        throw std::bad_alloc();
    return p;
}

void *operator new[](size_t n)
{
    return operator new(n);
}

void operator delete(void *p) noexcept
{
    free(p);
}

void operator delete[](void *p) noexcept
{
    free(p);
}

void operator delete(void *p, size_t) noexcept
{
    free(p);
}

void operator delete[](void *p, size_t) noexcept
{
    free(p);
}

namespace {

int usb_live_main_quietly()
{
    fflush(stdout);
    int saved = dup(STDOUT_FILENO);
    int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    close(null);
    int status = fake::run();
    fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    return status;
}

TEST(Allocations, NoneAfterTheFirstPicture)
{
    fake::reset();
    fake::cam.devices = {{0x833C, 0}};
    fake::cam.quiet = true;
    for (uint32_t n = 0; n < 150; n++) {
        std::vector<uint16_t> px = fake::uniform(uint16_t(1000 + n));
        px[n] = 3000;
        fake::cam.pictures.push_back(fake::header(n, 0, 64));
        fake::cam.pictures.push_back(fake::frame(px, 40000));
    }
    // A picture's pause is the last thing it does: count from the first one on, up to the
    // pause before the closing command (whose reply the scripted camera allocates).
    fake::on_pause = [](unsigned int ms) {
        counting = ms == 50;
        pictures += ms == 50;
    };
    EXPECT_EQ(usb_live_main_quietly(), 0);
    counting = false;
    EXPECT_EQ(pictures, 150);
    EXPECT_EQ(allocations, 0) << "allocations after the first of " << pictures << " pictures";
    EXPECT_EQ(fake::problems, std::vector<std::string>{});
}

} // namespace
