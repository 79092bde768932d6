/* The 32-bit installer stub's layout: the default PE layout of ld without
   what a program with no C runtime start-up never uses, and with fewer
   sections. Every section of the file is padded to 512 bytes, so each one
   less is a quarter of a kilobyte saved on average, and with three
   sections the headers fit in 512 bytes instead of 1,024:

     .text   code and constants (read-only: executable and readable, as
             the code is; nothing the stub writes)
     .data   initialised and zeroed data and the import tables (written by
             the loader; they are writable in ld's own layout too)
     .rsrc   the resources, which kelvo sfx rebuilds: it must stay last but
             for the base relocations
     .reloc  made by ld itself; scripts/stub_relocations.py moves it to the
             end of .data after the link (ld writes relocations only into
             a section of their own)

   Unwind tables are dropped: the stub is built without exceptions, and the
   only ones left came with library helpers that never unwind; so do the
   compilers' version strings. Sections
   that would need start-up code (constructors, thread-local data, CRT
   callbacks) end the link with an error instead of being left unused. */
OUTPUT_FORMAT(pei-i386)
SECTIONS
{
  /* First, so that nothing below takes these. */
  /DISCARD/ :
  {
    *(.eh_frame*)
    *(.rdata$zzz)
    *(.debug*)
    *(.zdebug*)
    *(.drectve)
    *(.note.GNU-stack)
    *(.gnu.lto_*)
  }
  . = SIZEOF_HEADERS;
  . = ALIGN(__section_alignment__);
  .text __image_base__ + __section_alignment__ :
  {
    *(.text)
    *(SORT(.text$*))
    *(.text.*)
    *(.rdata)
    *(SORT(.rdata$*))
  }
  .data BLOCK(__section_alignment__) :
  {
    *(.data)
    *(SORT(.data$*))
    . = ALIGN(4);
    /* The import directory, its lookup tables, the address table and the
       names, in the order of ld's default script. Without a section named
       .idata, ld finds the directory and the address table by these
       symbols, whose values it takes as relative to the image base. */
    ".idata$2" = ABSOLUTE(.) - __image_base__;
    KEEP (SORT(*)(.idata$2))
    KEEP (SORT(*)(.idata$3))
    LONG (0); LONG (0); LONG (0); LONG (0); LONG (0);
    ".idata$4" = ABSOLUTE(.) - __image_base__;
    KEEP (SORT(*)(.idata$4))
    ".idata$5" = ABSOLUTE(.) - __image_base__;
    __IAT_start__ = .;
    KEEP (SORT(*)(.idata$5))
    __IAT_end__ = .;
    ".idata$6" = ABSOLUTE(.) - __image_base__;
    KEEP (SORT(*)(.idata$6))
    KEEP (SORT(*)(.idata$7))
    *(.bss)
    *(COMMON)
  }
  .rsrc BLOCK(__section_alignment__) : SUBALIGN(4)
  {
    KEEP (*(.rsrc))
    KEEP (*(.rsrc$*))
  }
  .reloc BLOCK(__section_alignment__) :
  {
    *(.reloc)
  }
  .startup BLOCK(__section_alignment__) :
  {
    *(.ctors) *(.ctors.*) *(.dtors) *(.dtors.*) *(.init) *(.fini)
    *(.CRT$*) *(.tls) *(.tls$*) *(.rdata_runtime_pseudo_reloc)
  }
  ASSERT(SIZEOF(.startup) == 0,
         "the stub has no start-up code: no static constructors, thread-local data, CRT callbacks or pseudo-relocations")
}
