/* gf_call_stdcall5: see support/dll_commands.h. Shared by the mingw i686 build
   and the i386 Linux test of the thunk; only the symbol's spelling differs. */
#if defined(_WIN32)
#define GF_SYMBOL(name) _##name
#else
#define GF_SYMBOL(name) name
#endif

  .text
  .globl GF_SYMBOL(gf_call_stdcall5)
#if defined(__ELF__)
  .type GF_SYMBOL(gf_call_stdcall5), @function
#endif
GF_SYMBOL(gf_call_stdcall5):
  pushl %ebp
  movl %esp, %ebp
  pushl %ebx
  pushl %esi
  pushl %edi
  /* 16-byte alignment at the call, which GCC-built callees may rely on; the
     slack above also absorbs a callee that pops more than it was given. */
  andl $-16, %esp
  subl $12, %esp
  /* ESI is callee-saved in every x86 convention: it keeps the stack pointer
     as it was before the arguments, to compare with after the call. */
  movl %esp, %esi
  movl 12(%ebp), %edx
  pushl 16(%edx)
  pushl 12(%edx)
  pushl 8(%edx)
  pushl 4(%edx)
  pushl (%edx)
  movl 8(%ebp), %eax
  call *%eax
  movl 16(%ebp), %ecx
  movl %eax, (%ecx)
  movl %esi, %eax
  subl %esp, %eax
  /* Back to the frame through EBP, whatever the callee did to ESP. */
  leal -12(%ebp), %esp
  popl %edi
  popl %esi
  popl %ebx
  popl %ebp
  ret
#if defined(__ELF__)
  .size GF_SYMBOL(gf_call_stdcall5), . - GF_SYMBOL(gf_call_stdcall5)
  .section .note.GNU-stack, "", @progbits
#endif
