/* RegsysCopyToUser for x86_64 (UserCopy.h): a rep movsb covered by a scope-table entry of
 * __C_specific_handler, so that an access violation on the target unwinds to this function's own
 * frame and returns 0. Written in assembly because the C compiler offers no structured exception
 * handling; the unwind data is the one compilers emit for __try/__except(EXCEPTION_EXECUTE_HANDLER).
 *
 * int RegsysCopyToUser(void* target [rcx], const void* source [rdx], size_t size [r8]) */
    .text
    .globl RegsysCopyToUser
    .def RegsysCopyToUser; .scl 2; .type 32; .endef
    .seh_proc RegsysCopyToUser
RegsysCopyToUser:
    pushq %rdi
    .seh_pushreg %rdi
    pushq %rsi
    .seh_pushreg %rsi
    subq $8, %rsp
    .seh_stackalloc 8
    .seh_endprologue
    movq %rcx, %rdi
    movq %rdx, %rsi
    movq %r8, %rcx
    cld
.Lguarded_begin:
    rep movsb
.Lguarded_end:
    movl $1, %eax
.Lreturn:
    addq $8, %rsp
    popq %rsi
    popq %rdi
    ret
.Lfaulted:
    xorl %eax, %eax
    jmp .Lreturn
    .seh_handler __C_specific_handler, @except
    .seh_handlerdata
    /* One scope: [begin, end), filter 1 (EXCEPTION_EXECUTE_HANDLER), continue at .Lfaulted. */
    .long 1
    .rva .Lguarded_begin, .Lguarded_end
    .long 1
    .rva .Lfaulted
    .text
    .seh_endproc
