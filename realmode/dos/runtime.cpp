// Start-up and way out of the DOS build: memory, the Ctrl-Break and critical-error handlers,
// constructors, the command line, and the exit status through DOS.
#include <stdint.h>

#include "dos.h"
#include "serial/serial.h"

int main(int argc, char **argv);

extern "C" {
uint16_t dos_psp_segment;
volatile uint8_t dos_break_requested;

extern uint16_t dos_data_segment; // in the code segment, reached through CS
extern void (*__init_array_start[])();
extern void (*__init_array_end[])();

void dos_ctrl_break_entry();
void dos_ctrl_c_entry();
void dos_critical_error_entry();

[[noreturn]] void dos_main();
}

namespace {

const unsigned CTRL_BREAK_VECTOR = 0x1B;
const unsigned CTRL_C_VECTOR = 0x23;
const unsigned CRITICAL_ERROR_VECTOR = 0x24;
const uint16_t DATA_SEGMENT_PARAGRAPHS = 0x1000;

const uint16_t COMMAND_TAIL_LENGTH = 0x80;
const uint16_t COMMAND_TAIL = 0x81;
const unsigned MAX_ARGS = 16;

char command_line[128];
char program_name[] = "download";
char *arguments[MAX_ARGS + 1];

uint16_t saved_break_segment, saved_break_offset;
bool break_hooked = false;

// Gives DOS back what lies beyond the data segment, so that far memory can be allocated.
void shrink_memory() {
    dos_regs regs;
    dos_regs_init(&regs, DOS_RESIZE);
    regs.es = dos_psp_segment;
    regs.ebx = (uint16_t)(dos_data_segment_now() + DATA_SEGMENT_PARAGRAPHS - dos_psp_segment);
    dos_call(DOS_INTERRUPT, &regs);
}

void hook_breaks() {
    dos_get_vector(CTRL_BREAK_VECTOR, &saved_break_segment, &saved_break_offset);
    // DOS restores these two from the PSP at the end; int 1Bh is ours to restore.
    dos_set_vector(CTRL_C_VECTOR, dos_code_segment(), (uint16_t)(uintptr_t)dos_ctrl_c_entry);
    dos_set_vector(CRITICAL_ERROR_VECTOR, dos_code_segment(),
                   (uint16_t)(uintptr_t)dos_critical_error_entry);
    dos_set_vector(CTRL_BREAK_VECTOR, dos_code_segment(),
                   (uint16_t)(uintptr_t)dos_ctrl_break_entry);
    break_hooked = true;
}

// The PSP's command tail split at blanks; argv[0] is the command's name.
int split_command_line() {
    unsigned length = dos_far_read8(dos_psp_segment, COMMAND_TAIL_LENGTH);
    if (length > sizeof command_line - 1)
        length = sizeof command_line - 1;
    for (unsigned i = 0; i < length; ++i)
        command_line[i] = (char)dos_far_read8(dos_psp_segment, (uint16_t)(COMMAND_TAIL + i));
    command_line[length] = '\0';

    int count = 0;
    arguments[count++] = program_name;
    char *p = command_line;
    while (count < (int)MAX_ARGS) {
        while (*p == ' ' || *p == '\t')
            ++p;
        if (*p == '\0' || *p == '\r')
            break;
        arguments[count++] = p;
        while (*p != '\0' && *p != '\r' && *p != ' ' && *p != '\t')
            ++p;
        if (*p == '\0')
            break;
        *p++ = '\0';
    }
    arguments[count] = 0;
    return count;
}

// Restores what the program took over (the port, Ctrl-Break) and ends with status.
[[noreturn]] void dos_exit(int status) {
    // The UART's vector and the interrupt controller's mask go back first.
    close_port();
    if (break_hooked) {
        break_hooked = false;
        dos_set_vector(CTRL_BREAK_VECTOR, saved_break_segment, saved_break_offset);
    }
    dos_regs regs;
    dos_regs_init(&regs, (uint16_t)(DOS_EXIT | (status & 0xFF)));
    dos_call(DOS_INTERRUPT, &regs);
    for (;;) {
    }
}

} // namespace

void dos_regs_init(dos_regs *regs, uint16_t ax) {
    regs->eax = ax;
    regs->ebx = regs->ecx = regs->edx = regs->esi = regs->edi = 0;
    regs->ds = regs->es = dos_data_segment_now();
    regs->flags = 0;
}

void dos_get_vector(unsigned vector, uint16_t *segment, uint16_t *offset) {
    dos_regs regs;
    dos_regs_init(&regs, (uint16_t)(DOS_GET_VECTOR | (vector & 0xFF)));
    dos_call(DOS_INTERRUPT, &regs);
    *segment = regs.es;
    *offset = (uint16_t)regs.ebx;
}

void dos_set_vector(unsigned vector, uint16_t segment, uint16_t offset) {
    dos_regs regs;
    dos_regs_init(&regs, (uint16_t)(DOS_SET_VECTOR | (vector & 0xFF)));
    regs.ds = segment;
    regs.edx = offset;
    dos_call(DOS_INTERRUPT, &regs);
}

void dos_check_break() {
    if (dos_break_requested)
        dos_break_exit();
}

void dos_break_exit() {
    dos_break_requested = 0;
    dos_regs regs;
    dos_regs_init(&regs, DOS_WRITE_FILE);
    regs.ebx = STDOUT_HANDLE;
    regs.ecx = 4;
    regs.edx = (uint16_t)(uintptr_t) "^C\r\n";
    dos_call(DOS_INTERRUPT, &regs);
    dos_exit(1);
}

void dos_main() {
    shrink_memory();
    hook_breaks();
    for (void (**constructor)() = __init_array_start; constructor != __init_array_end;
         ++constructor)
        (*constructor)();
    int argc = split_command_line();
    dos_exit(main(argc, arguments));
}
