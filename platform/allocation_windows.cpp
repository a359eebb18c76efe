// The allocation operators of HexlornS.exe.
//
// The service never handles an allocation failure: a request the heap cannot
// meet ends the process, as it did when the C++ runtime's operators threw an
// exception that nothing caught. These operators end it the same way
// (abort(), exit code 3; the service control manager sees the service end
// without a stopped report, so its recovery actions apply) without linking the
// exception machinery, which was most of the executable's size.
//
// Built into the Windows executable only; the simulation keeps the
// toolchain's operators, which the sanitizers replace.
#include <cstdlib>
#include <new>

static void *Allocate(std::size_t size)
{
    void *block = std::malloc(size != 0 ? size : 1);
    if (block == nullptr) {
        std::abort();
    }
    return block;
}

void *operator new(std::size_t size)
{
    return Allocate(size);
}

void *operator new[](std::size_t size)
{
    return Allocate(size);
}

void operator delete(void *block) noexcept
{
    std::free(block);
}

void operator delete[](void *block) noexcept
{
    std::free(block);
}

void operator delete(void *block, std::size_t) noexcept
{
    std::free(block);
}

void operator delete[](void *block, std::size_t) noexcept
{
    std::free(block);
}
