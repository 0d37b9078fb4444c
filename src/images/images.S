/* images.S - embeds the files of data/ into the program, byte for byte. The build
   passes data/ to the assembler as an include directory (-Wa,-I...). */
/* 32-bit Windows gives every C symbol a leading underscore. */
#if defined(_WIN32) && defined(__i386__)
#define KQ_SYMBOL(name) _##name
#else
#define KQ_SYMBOL(name) name
#endif
#define KQ_EMBED(symbol, file)    \
    .globl KQ_SYMBOL(symbol);     \
    .balign 16;                   \
KQ_SYMBOL(symbol):                \
    .incbin file

    .section .rodata
KQ_EMBED(ImageConsole, "console.bin")
KQ_EMBED(ImageMessageTable, "messages.bin")
KQ_EMBED(ImageFont, "kqmon.fnt")
KQ_EMBED(ImageVinculum, "vinculum.bin")
KQ_EMBED(ImageVinculumFile, "FTRFB.FTD")
KQ_EMBED(ImageRemote, "remote.bin")
KQ_EMBED(ImageReceiver, "receiver.bin")
KQ_EMBED(ImageTempaBoot, "tempa_boot.bin")
KQ_EMBED(ImageTempa, "tempa.bin")
#if defined(__ELF__)
    .section .note.GNU-stack,"",%progbits
#endif
