// The evaluation network block, linked into the program. The nets folder is on the assembler's
// include path (cmake/eval.cmake).
    .section .rodata.tarnvik_network, "a"
    .balign 64
    .globl tarnvik_network_block
tarnvik_network_block:
    .incbin "tarnvik.nnue"
    .section .note.GNU-stack, "", @progbits
