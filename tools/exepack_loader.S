// The loader of a packed MS-DOS program: the packer fills in its header and appends the packed
// relocation table. DOS starts it at `start`, with CS its own segment and DS = ES = the PSP. It
// moves itself above the space of the expanded image, expands the image in place from the end
// down, applies the relocations and starts the program with DOS's registers and its own stack.
//
// 8086 instructions only: a program that needs a later processor must still be the one to say
// so. Bytes are moved one at a time through pointers whose segment steps down a paragraph at a
// time: no offset wraps and nothing depends on the A20 line. Small matters more than fast here:
// the loader is paid for by the bytes that packing saves.
    .code16
    .arch i8086
    .section .note.GNU-stack, "", @progbits
    .text

real_ip:        .word 0 // the program's entry point, CS relative to the load segment
real_cs:        .word 0
load_segment:   .word 0 // set at run time
loader_size:    .word 0 // this header, the code and the relocation table
real_sp:        .word 0 // the program's stack, SS relative to the load segment
real_ss:        .word 0
image_paragraphs: .word 0 // the expanded image
    // Paragraphs from the end of the packed data to this header, plus one: always 1 here.
    .word 1
    .ascii "RB"

start:
    cld
    mov %ds, %bx            // the PSP
    lea 0x10(%bx), %cx
    push %cs
    pop %ds
    mov %cx, load_segment
    mov %cs, %dx
    // 1. Move above the expanded image. The stack keeps its offset in the new segment, where
    //    the packer leaves it room; the two copies never overlap.
    add image_paragraphs, %cx
    mov %cx, %es
    mov %cx, %ss
    push %ax                // DOS's drive flags, for the program
    push %bx
    mov loader_size, %cx
    xor %si, %si
    xor %di, %di
    rep movsb
    push %es
    mov $moved, %ax
    push %ax
    lret
moved:
    // 2. The packed data (source DS:SI) ends at this header's old place, the image (target
    //    ES:DI) at the new one.
    mov %dx, %ds
    xor %si, %si
    xor %di, %di
    // 3. Commands from the end down: a command byte (bit 0 marks the last), a 16-bit length,
    //    then one byte to repeat (0xB0) or the bytes to copy (0xB2). Bytes 0xFF pad the
    //    packed data to a paragraph, and no command byte is 0xFF.
command:
    call read_byte
    cmp $0xFF, %al
    je command
    xchg %ax, %dx
    call read_byte
    mov %al, %ah
    call read_byte
    xchg %ax, %cx
    test $2, %dl
    jnz 1f
    call read_byte
1:  test $2, %dl
    jz 2f
    call read_byte
2:  call write_byte
    loop 1b
    shr %dl
    jnc command
    // 4. Relocations: 16 sections of 64 KiB, each a count and the offsets in the section.
    push %cs
    pop %ds
    mov $relocations, %si
    mov load_segment, %bx
    mov %bx, %dx
section:
    mov %dx, %es
    lodsw
    xchg %ax, %cx
    jcxz next_section
1:  lodsw
    xchg %ax, %di
    add %bx, %es:(%di)
    loop 1b
next_section:
    add $0x1000, %dx
    cmp %bx, %dx
    jne section
    // 5. The program's registers: DS = ES = the PSP, its stack, AX as DOS left it. An
    //    interrupt can come only after the jump, once the loader is no longer needed.
    add %bx, real_cs
    add real_ss, %bx
    pop %dx
    pop %ax
    cli
    mov %bx, %ss
    mov real_sp, %sp
    mov %dx, %ds
    mov %dx, %es
    sti
    ljmp *%cs:real_ip

// read_byte: AL = the byte below the source pointer, which moves down to it.
read_byte:
    dec %si
    jns 1f
    mov $15, %si
    mov %ds, %bx
    dec %bx
    mov %bx, %ds
1:  mov (%si), %al
    ret

// write_byte: stores AL below the target pointer, which moves down to it.
write_byte:
    dec %di
    jns 1f
    mov $15, %di
    mov %es, %bx
    dec %bx
    mov %bx, %es
1:  mov %al, %es:(%di)
    ret

relocations:
