// The 70 three- and four-man Syzygy files, back to back in one read-only block, each on a
// 64-byte boundary, and the name directory pointing into it (rows sorted by name).
// The data folder is on the assembler's include path (cmake/tablebase.cmake).

    .section .rodata.tarnvik_tablebases, "a"
    .balign 64
    .globl tb_embedded_block
tb_embedded_block:
    .balign 64
tb_image_0:
    .incbin "KBBvK.rtbw"
    .balign 64
tb_image_1:
    .incbin "KBBvK.rtbz"
    .balign 64
tb_image_2:
    .incbin "KBNvK.rtbw"
    .balign 64
tb_image_3:
    .incbin "KBNvK.rtbz"
    .balign 64
tb_image_4:
    .incbin "KBPvK.rtbw"
    .balign 64
tb_image_5:
    .incbin "KBPvK.rtbz"
    .balign 64
tb_image_6:
    .incbin "KBvK.rtbw"
    .balign 64
tb_image_7:
    .incbin "KBvK.rtbz"
    .balign 64
tb_image_8:
    .incbin "KBvKB.rtbw"
    .balign 64
tb_image_9:
    .incbin "KBvKB.rtbz"
    .balign 64
tb_image_10:
    .incbin "KBvKN.rtbw"
    .balign 64
tb_image_11:
    .incbin "KBvKN.rtbz"
    .balign 64
tb_image_12:
    .incbin "KBvKP.rtbw"
    .balign 64
tb_image_13:
    .incbin "KBvKP.rtbz"
    .balign 64
tb_image_14:
    .incbin "KNNvK.rtbw"
    .balign 64
tb_image_15:
    .incbin "KNNvK.rtbz"
    .balign 64
tb_image_16:
    .incbin "KNPvK.rtbw"
    .balign 64
tb_image_17:
    .incbin "KNPvK.rtbz"
    .balign 64
tb_image_18:
    .incbin "KNvK.rtbw"
    .balign 64
tb_image_19:
    .incbin "KNvK.rtbz"
    .balign 64
tb_image_20:
    .incbin "KNvKN.rtbw"
    .balign 64
tb_image_21:
    .incbin "KNvKN.rtbz"
    .balign 64
tb_image_22:
    .incbin "KNvKP.rtbw"
    .balign 64
tb_image_23:
    .incbin "KNvKP.rtbz"
    .balign 64
tb_image_24:
    .incbin "KPPvK.rtbw"
    .balign 64
tb_image_25:
    .incbin "KPPvK.rtbz"
    .balign 64
tb_image_26:
    .incbin "KPvK.rtbw"
    .balign 64
tb_image_27:
    .incbin "KPvK.rtbz"
    .balign 64
tb_image_28:
    .incbin "KPvKP.rtbw"
    .balign 64
tb_image_29:
    .incbin "KPvKP.rtbz"
    .balign 64
tb_image_30:
    .incbin "KQBvK.rtbw"
    .balign 64
tb_image_31:
    .incbin "KQBvK.rtbz"
    .balign 64
tb_image_32:
    .incbin "KQNvK.rtbw"
    .balign 64
tb_image_33:
    .incbin "KQNvK.rtbz"
    .balign 64
tb_image_34:
    .incbin "KQPvK.rtbw"
    .balign 64
tb_image_35:
    .incbin "KQPvK.rtbz"
    .balign 64
tb_image_36:
    .incbin "KQQvK.rtbw"
    .balign 64
tb_image_37:
    .incbin "KQQvK.rtbz"
    .balign 64
tb_image_38:
    .incbin "KQRvK.rtbw"
    .balign 64
tb_image_39:
    .incbin "KQRvK.rtbz"
    .balign 64
tb_image_40:
    .incbin "KQvK.rtbw"
    .balign 64
tb_image_41:
    .incbin "KQvK.rtbz"
    .balign 64
tb_image_42:
    .incbin "KQvKB.rtbw"
    .balign 64
tb_image_43:
    .incbin "KQvKB.rtbz"
    .balign 64
tb_image_44:
    .incbin "KQvKN.rtbw"
    .balign 64
tb_image_45:
    .incbin "KQvKN.rtbz"
    .balign 64
tb_image_46:
    .incbin "KQvKP.rtbw"
    .balign 64
tb_image_47:
    .incbin "KQvKP.rtbz"
    .balign 64
tb_image_48:
    .incbin "KQvKQ.rtbw"
    .balign 64
tb_image_49:
    .incbin "KQvKQ.rtbz"
    .balign 64
tb_image_50:
    .incbin "KQvKR.rtbw"
    .balign 64
tb_image_51:
    .incbin "KQvKR.rtbz"
    .balign 64
tb_image_52:
    .incbin "KRBvK.rtbw"
    .balign 64
tb_image_53:
    .incbin "KRBvK.rtbz"
    .balign 64
tb_image_54:
    .incbin "KRNvK.rtbw"
    .balign 64
tb_image_55:
    .incbin "KRNvK.rtbz"
    .balign 64
tb_image_56:
    .incbin "KRPvK.rtbw"
    .balign 64
tb_image_57:
    .incbin "KRPvK.rtbz"
    .balign 64
tb_image_58:
    .incbin "KRRvK.rtbw"
    .balign 64
tb_image_59:
    .incbin "KRRvK.rtbz"
    .balign 64
tb_image_60:
    .incbin "KRvK.rtbw"
    .balign 64
tb_image_61:
    .incbin "KRvK.rtbz"
    .balign 64
tb_image_62:
    .incbin "KRvKB.rtbw"
    .balign 64
tb_image_63:
    .incbin "KRvKB.rtbz"
    .balign 64
tb_image_64:
    .incbin "KRvKN.rtbw"
    .balign 64
tb_image_65:
    .incbin "KRvKN.rtbz"
    .balign 64
tb_image_66:
    .incbin "KRvKP.rtbw"
    .balign 64
tb_image_67:
    .incbin "KRvKP.rtbz"
    .balign 64
tb_image_68:
    .incbin "KRvKR.rtbw"
    .balign 64
tb_image_69:
    .incbin "KRvKR.rtbz"
    .balign 64
    .globl tb_embedded_block_end
tb_embedded_block_end:

    .section .data.rel.ro.tarnvik_tablebases, "aw"
    .balign 8
    .globl EmbeddedTableDirectory
EmbeddedTableDirectory:
    .ascii "KBBvK.rtbw"
    .zero 22
    .quad tb_image_0
    .ascii "KBBvK.rtbz"
    .zero 22
    .quad tb_image_1
    .ascii "KBNvK.rtbw"
    .zero 22
    .quad tb_image_2
    .ascii "KBNvK.rtbz"
    .zero 22
    .quad tb_image_3
    .ascii "KBPvK.rtbw"
    .zero 22
    .quad tb_image_4
    .ascii "KBPvK.rtbz"
    .zero 22
    .quad tb_image_5
    .ascii "KBvK.rtbw"
    .zero 23
    .quad tb_image_6
    .ascii "KBvK.rtbz"
    .zero 23
    .quad tb_image_7
    .ascii "KBvKB.rtbw"
    .zero 22
    .quad tb_image_8
    .ascii "KBvKB.rtbz"
    .zero 22
    .quad tb_image_9
    .ascii "KBvKN.rtbw"
    .zero 22
    .quad tb_image_10
    .ascii "KBvKN.rtbz"
    .zero 22
    .quad tb_image_11
    .ascii "KBvKP.rtbw"
    .zero 22
    .quad tb_image_12
    .ascii "KBvKP.rtbz"
    .zero 22
    .quad tb_image_13
    .ascii "KNNvK.rtbw"
    .zero 22
    .quad tb_image_14
    .ascii "KNNvK.rtbz"
    .zero 22
    .quad tb_image_15
    .ascii "KNPvK.rtbw"
    .zero 22
    .quad tb_image_16
    .ascii "KNPvK.rtbz"
    .zero 22
    .quad tb_image_17
    .ascii "KNvK.rtbw"
    .zero 23
    .quad tb_image_18
    .ascii "KNvK.rtbz"
    .zero 23
    .quad tb_image_19
    .ascii "KNvKN.rtbw"
    .zero 22
    .quad tb_image_20
    .ascii "KNvKN.rtbz"
    .zero 22
    .quad tb_image_21
    .ascii "KNvKP.rtbw"
    .zero 22
    .quad tb_image_22
    .ascii "KNvKP.rtbz"
    .zero 22
    .quad tb_image_23
    .ascii "KPPvK.rtbw"
    .zero 22
    .quad tb_image_24
    .ascii "KPPvK.rtbz"
    .zero 22
    .quad tb_image_25
    .ascii "KPvK.rtbw"
    .zero 23
    .quad tb_image_26
    .ascii "KPvK.rtbz"
    .zero 23
    .quad tb_image_27
    .ascii "KPvKP.rtbw"
    .zero 22
    .quad tb_image_28
    .ascii "KPvKP.rtbz"
    .zero 22
    .quad tb_image_29
    .ascii "KQBvK.rtbw"
    .zero 22
    .quad tb_image_30
    .ascii "KQBvK.rtbz"
    .zero 22
    .quad tb_image_31
    .ascii "KQNvK.rtbw"
    .zero 22
    .quad tb_image_32
    .ascii "KQNvK.rtbz"
    .zero 22
    .quad tb_image_33
    .ascii "KQPvK.rtbw"
    .zero 22
    .quad tb_image_34
    .ascii "KQPvK.rtbz"
    .zero 22
    .quad tb_image_35
    .ascii "KQQvK.rtbw"
    .zero 22
    .quad tb_image_36
    .ascii "KQQvK.rtbz"
    .zero 22
    .quad tb_image_37
    .ascii "KQRvK.rtbw"
    .zero 22
    .quad tb_image_38
    .ascii "KQRvK.rtbz"
    .zero 22
    .quad tb_image_39
    .ascii "KQvK.rtbw"
    .zero 23
    .quad tb_image_40
    .ascii "KQvK.rtbz"
    .zero 23
    .quad tb_image_41
    .ascii "KQvKB.rtbw"
    .zero 22
    .quad tb_image_42
    .ascii "KQvKB.rtbz"
    .zero 22
    .quad tb_image_43
    .ascii "KQvKN.rtbw"
    .zero 22
    .quad tb_image_44
    .ascii "KQvKN.rtbz"
    .zero 22
    .quad tb_image_45
    .ascii "KQvKP.rtbw"
    .zero 22
    .quad tb_image_46
    .ascii "KQvKP.rtbz"
    .zero 22
    .quad tb_image_47
    .ascii "KQvKQ.rtbw"
    .zero 22
    .quad tb_image_48
    .ascii "KQvKQ.rtbz"
    .zero 22
    .quad tb_image_49
    .ascii "KQvKR.rtbw"
    .zero 22
    .quad tb_image_50
    .ascii "KQvKR.rtbz"
    .zero 22
    .quad tb_image_51
    .ascii "KRBvK.rtbw"
    .zero 22
    .quad tb_image_52
    .ascii "KRBvK.rtbz"
    .zero 22
    .quad tb_image_53
    .ascii "KRNvK.rtbw"
    .zero 22
    .quad tb_image_54
    .ascii "KRNvK.rtbz"
    .zero 22
    .quad tb_image_55
    .ascii "KRPvK.rtbw"
    .zero 22
    .quad tb_image_56
    .ascii "KRPvK.rtbz"
    .zero 22
    .quad tb_image_57
    .ascii "KRRvK.rtbw"
    .zero 22
    .quad tb_image_58
    .ascii "KRRvK.rtbz"
    .zero 22
    .quad tb_image_59
    .ascii "KRvK.rtbw"
    .zero 23
    .quad tb_image_60
    .ascii "KRvK.rtbz"
    .zero 23
    .quad tb_image_61
    .ascii "KRvKB.rtbw"
    .zero 22
    .quad tb_image_62
    .ascii "KRvKB.rtbz"
    .zero 22
    .quad tb_image_63
    .ascii "KRvKN.rtbw"
    .zero 22
    .quad tb_image_64
    .ascii "KRvKN.rtbz"
    .zero 22
    .quad tb_image_65
    .ascii "KRvKP.rtbw"
    .zero 22
    .quad tb_image_66
    .ascii "KRvKP.rtbz"
    .zero 22
    .quad tb_image_67
    .ascii "KRvKR.rtbw"
    .zero 22
    .quad tb_image_68
    .ascii "KRvKR.rtbz"
    .zero 22
    .quad tb_image_69

    .section .note.GNU-stack, "", @progbits
