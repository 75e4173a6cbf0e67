// Must not pass as 64-bit driver code: a function without an unwind entry,
// written in assembly without the directives that make one.
// Rejected: without an unwind entry
#include "platform/kernel.h"

asm(".text\n"
    ".globl ProbeNoUnwind\n"
    ".def ProbeNoUnwind; .scl 2; .type 32; .endef\n"
    "ProbeNoUnwind:\n"
    "    ret\n");
extern "C" void ProbeNoUnwind();

void ProbeCallNoUnwind()
{
    ProbeNoUnwind();
}
