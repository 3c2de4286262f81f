// Preloaded into the daemon by the system tests (LD_PRELOAD), this counts
// the heap allocations of the process it is loaded into, not of its forked
// children, in a shared counter file named by HELMWATCH_ALLOCATION_COUNTER
// that the test reads while the daemon runs. The C library's own entry
// points do the allocating.
#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

// glibc exports its allocator under these reserved names for interposers.
// NOLINTBEGIN(bugprone-reserved-identifier)
extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* pointer, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
}
// NOLINTEND(bugprone-reserved-identifier)

namespace {

volatile uint64_t* counter = nullptr;

void Count() {
  if (counter != nullptr) __atomic_add_fetch(counter, 1, __ATOMIC_RELAXED);
}

void StopCountingInChild() { counter = nullptr; }

__attribute__((constructor)) void OpenCounter() {
  const char* path = getenv("HELMWATCH_ALLOCATION_COUNTER");
  if (path == nullptr) return;
  const int fd = open(path, O_RDWR | O_CLOEXEC);
  if (fd < 0) return;
  void* shared = mmap(nullptr, sizeof(uint64_t), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  close(fd);
  if (shared == MAP_FAILED) return;
  pthread_atfork(nullptr, nullptr, StopCountingInChild);
  counter = static_cast<volatile uint64_t*>(shared);
}

}  // namespace

extern "C" {

void* malloc(size_t size) {
  Count();
  return __libc_malloc(size);
}

void* calloc(size_t count, size_t size) {
  Count();
  return __libc_calloc(count, size);
}

void* realloc(void* pointer, size_t size) {
  Count();
  return __libc_realloc(pointer, size);
}

void* memalign(size_t alignment, size_t size) {
  Count();
  return __libc_memalign(alignment, size);
}

void* aligned_alloc(size_t alignment, size_t size) { return memalign(alignment, size); }

int posix_memalign(void** result, size_t alignment, size_t size) {
  *result = memalign(alignment, size);
  return *result != nullptr ? 0 : ENOMEM;
}

}  // extern "C"
