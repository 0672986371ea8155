// Entry points of the DOS build that C++ cannot express: the start-up, the BIOS and DOS call
// gate, and the interrupt handlers. Everything C++ is entered with DS = ES = SS = the data
// segment, the high half of ESP zero and the direction flag clear.
    .code16
    .section .note.GNU-stack, "", @progbits

    // The interrupts of the BIOS and DOS used here, and the DOS functions (AH, or all of AX
    // with AL's argument in it).
    .set BIOS_VIDEO_INTERRUPT, 0x10
    .set BIOS_KEYBOARD_INTERRUPT, 0x16
    .set DOS_INTERRUPT, 0x21
    .set DOS_PRINT_STRING, 0x09     // DS:DX: the text, ended by "$"
    .set DOS_EXIT_STATUS_1, 0x4C01
    .section .text.dos_start, "ax"

    .globl _start
_start:
    // Before any 32-bit instruction: an 8086 keeps flag bits 12-15 set, a 286 in real mode
    // keeps them clear; only a 386 or later lets them change.
    pushf
    pop %ax
    mov %ax, %cx
    and $0x0FFF, %ax
    push %ax
    popf
    pushf
    pop %ax
    and $0xF000, %ax
    cmp $0xF000, %ax
    je no_386
    mov %cx, %ax
    or $0x7000, %ax
    push %ax
    popf
    pushf
    pop %ax
    push %cx
    popf
    test $0x7000, %ax
    jnz is_386
no_386:
    push %cs
    pop %ds
    mov $needs_386, %dx
    mov $DOS_PRINT_STRING, %ah
    int $DOS_INTERRUPT
    mov $DOS_EXIT_STATUS_1, %ax
    int $DOS_INTERRUPT
needs_386:
    .ascii "This program needs an 80386 processor or later.\r\n$"

is_386:
    // DOS enters with DS = ES = the PSP and SS:SP from the header (the data segment).
    cli
    mov %ss, %ax
    mov %ax, %cs:dos_data_segment
    mov %ds, %bx
    mov %ax, %ds
    mov %ax, %es
    movl $__stack_top, %esp
    sti
    cld
    // Zero the BSS (BX keeps the PSP's segment).
    movl $__bss_start, %edi
    movl $__bss_end, %ecx
    subl %edi, %ecx
    xor %eax, %eax
    rep stosb
    mov %bx, dos_psp_segment
    calll dos_main
    // dos_main never returns; should it, the status is lost but the program still ends.
    mov $DOS_EXIT_STATUS_1, %ax
    int $DOS_INTERRUPT

    // The data segment, where the interrupt handlers can find it.
    .globl dos_data_segment
dos_data_segment:
    .word 0

// dos_call (regparm: EAX = interrupt number 0x10, 0x16 or 0x21, EDX = dos_regs *): loads
// the registers, calls the interrupt, stores them back with the flags. All 32-bit registers
// are saved around the call: a BIOS or DOS need not preserve their high halves.
// dos_regs: eax ebx ecx edx esi edi (32-bit each), ds es (16-bit), flags (16-bit).
    .globl dos_call
dos_call:
    pushal
    push %ds
    push %es
    push %edx
    mov %eax, %ebp
    movl 4(%edx), %ebx
    movl 8(%edx), %ecx
    movl 16(%edx), %esi
    movl 20(%edx), %edi
    movw 26(%edx), %ax
    mov %ax, %es
    movl 0(%edx), %eax
    pushl 12(%edx)
    pushw 24(%edx)
    pop %ds
    popl %edx
    cmp $BIOS_VIDEO_INTERRUPT, %bp
    je 1f
    cmp $BIOS_KEYBOARD_INTERRUPT, %bp
    je 2f
    int $DOS_INTERRUPT
    jmp 3f
1:  int $BIOS_VIDEO_INTERRUPT
    jmp 3f
2:  int $BIOS_KEYBOARD_INTERRUPT
3:  pushf
    push %ds
    push %edx
    mov %cs:dos_data_segment, %dx
    mov %dx, %ds
    movzwl %sp, %ebp
    movl 8(%ebp), %edx      // the dos_regs pointer pushed above
    popl 12(%edx)
    popw 24(%edx)
    popw 28(%edx)
    movl %eax, 0(%edx)
    movl %ebx, 4(%edx)
    movl %ecx, 8(%edx)
    movl %esi, 16(%edx)
    movl %edi, 20(%edx)
    mov %es, %ax
    movw %ax, 26(%edx)
    pop %edx
    pop %es
    pop %ds
    popal
    retl

    .section .text.dos_receive_entry, "ax"
// The UART's receive interrupt: the program's data segment, a private stack, every register
// saved, then receive_interrupt (which sends the end of interrupt itself).
    .globl dos_receive_entry
dos_receive_entry:
    pushal
    push %ds
    push %es
    push %fs
    push %gs
    mov %cs:dos_data_segment, %ax
    mov %ax, %ds
    mov %ax, %es
    mov %ss, %bx
    mov %esp, %ecx
    mov %ax, %ss
    movl $dos_irq_stack_top, %esp
    pushl %ebx
    pushl %ecx
    cld
    calll dos_receive_interrupt
    popl %ecx
    popl %ebx
    mov %bx, %ss
    mov %ecx, %esp
    pop %gs
    pop %fs
    pop %es
    pop %ds
    popal
    iret

    .section .text.dos_breaks, "ax"
// Ctrl-Break (int 1Bh, from the keyboard interrupt): only a flag, looked at by the main flow
// wherever it waits.
    .globl dos_ctrl_break_entry
dos_ctrl_break_entry:
    push %ds
    push %ax
    mov %cs:dos_data_segment, %ax
    mov %ax, %ds
    movb $1, dos_break_requested
    pop %ax
    pop %ds
    iret

// Ctrl-C seen by DOS (int 23h, from inside a DOS call of the main flow): the main flow is
// abandoned, so its stack is reused for the way out.
    .globl dos_ctrl_c_entry
dos_ctrl_c_entry:
    cli
    mov %cs:dos_data_segment, %ax
    mov %ax, %ds
    mov %ax, %es
    mov %ax, %ss
    movl $__stack_top, %esp
    sti
    cld
    calll dos_break_exit

// Critical error (int 24h): fail the DOS call, so the program sees an error and goes its
// own way out instead of stopping at DOS's question.
    .globl dos_critical_error_entry
dos_critical_error_entry:
    mov $3, %al
    iret

    .bss
    .balign 4
dos_irq_stack:
    .space 1024
dos_irq_stack_top:
