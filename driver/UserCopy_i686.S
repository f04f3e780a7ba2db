/* RegsysCopyToUser for i686 (UserCopy.h): a rep movsb under an exception registration of its own on
 * the fs:[0] chain, whose handler sends an access violation's thread on to the code that returns 0.
 * Written in assembly because the C compiler offers no structured exception handling. The same
 * chain serves kernel mode (fs is the processor control region, whose first word is the chain) and
 * user mode (fs is the thread information block), so the user-mode test runs this very code.
 *
 * int __cdecl RegsysCopyToUser(void* target, const void* source, size_t size) */
    .text
    .globl _RegsysCopyToUser
    .def _RegsysCopyToUser; .scl 2; .type 32; .endef
_RegsysCopyToUser:
    pushl %ebp
    movl %esp, %ebp
    pushl %edi
    pushl %esi
    movl 8(%ebp), %edi
    movl 12(%ebp), %esi
    movl 16(%ebp), %ecx
    /* The registration: { next, handler }, on the stack, linked in front of the chain. */
    pushl $RegsysCopyFaultHandler
    pushl %fs:0
    movl %esp, %fs:0
    cld
    rep movsb
    movl $1, %eax
.Lunlink:
    popl %fs:0
    addl $4, %esp
    popl %esi
    popl %edi
    popl %ebp
    ret
.Lfaulted:
    xorl %eax, %eax
    jmp .Lunlink

/* EXCEPTION_DISPOSITION __cdecl handler(EXCEPTION_RECORD* record, void* establisherFrame,
 *                                       CONTEXT* context, void* dispatcherContext)
 * Unwind calls pass on (ExceptionContinueSearch); any exception raised in the copy resumes at
 * .Lfaulted with the stack pointer at the registration, as it was during the copy
 * (ExceptionContinueExecution). Only the copy runs between linking and unlinking. */
    .def RegsysCopyFaultHandler; .scl 3; .type 32; .endef
RegsysCopyFaultHandler:
    movl 4(%esp), %eax         /* record */
    testl $6, 4(%eax)          /* ExceptionFlags: EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND */
    jnz .Lpass_on
    movl 8(%esp), %edx         /* establisher frame: the registration */
    movl 12(%esp), %eax        /* context */
    movl %edx, 0xC4(%eax)      /* Esp */
    movl $.Lfaulted, 0xB8(%eax) /* Eip */
    xorl %eax, %eax            /* ExceptionContinueExecution */
    ret
.Lpass_on:
    movl $1, %eax              /* ExceptionContinueSearch */
    ret
