/* Exits 0 when this machine runs 32-bit x86 code natively: it far-calls into the
 * 32-bit code segment (selector 0x23) and returns. A kernel that runs 64-bit user
 * code only faults here, and an emulator registered for i386 programs cannot answer
 * for it, since no i386 program is started. Built with: gcc -O0 -no-pie. */
#include <stdint.h>
#include <string.h>
#include <sys/mman.h>
int main(void) {
  unsigned char *low = mmap((void *)0x10000000, 65536, PROT_READ | PROT_WRITE | PROT_EXEC,
                            MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
  static const unsigned char code32[] = {0xB8, 42, 0, 0, 0, 0xCB}; /* mov eax,42; retf */
  if (low == MAP_FAILED) return 2;
  memcpy(low, code32, sizeof code32);
  static struct { uint32_t offset; uint16_t selector; } __attribute__((packed)) target;
  target.offset = (uint32_t)(uintptr_t)low;
  target.selector = 0x23;
  /* 32-bit code needs a stack below 4 GB. */
  uint64_t stack32 = (uint64_t)(uintptr_t)(low + 65536 - 64);
  unsigned int result;
  __asm__ volatile("pushq %%rbx\n\tmovq %%rsp, %%rbx\n\tmovq %2, %%rsp\n\tlcall *%1\n\t"
                   "movq %%rbx, %%rsp\n\tpopq %%rbx\n\t"
                   : "=a"(result) : "m"(target), "r"(stack32) : "memory", "rcx", "rdx");
  return result == 42 ? 0 : 1;
}
