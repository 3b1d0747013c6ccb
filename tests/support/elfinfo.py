"""What an ELF shared object says about how it was built: the compilers that wrote it
(.comment), the libraries it needs (DT_NEEDED) and the symbols it exports (.dynsym).
Read with the standard library only, so the tests need no binutils."""

import struct
from dataclasses import dataclass

SHT_DYNSYM = 11
DT_NEEDED = 1
STB_GLOBAL, STB_WEAK = 1, 2
STV_DEFAULT = 0
SHN_UNDEF = 0


@dataclass(frozen=True)
class Section:
    name: str
    type: int
    offset: int
    size: int
    link: int
    entsize: int


class Elf:
    def __init__(self, path):
        with open(path, "rb") as f:
            self.data = f.read()
        ident = self.data[:16]
        if ident[:4] != b"\x7fELF":
            raise ValueError(f"{path} is not an ELF file")
        self.wide = ident[4] == 2
        self.end = "<" if ident[5] == 1 else ">"
        if self.wide:
            shoff, = struct.unpack_from(self.end + "Q", self.data, 0x28)
            shentsize, shnum, shstrndx = struct.unpack_from(self.end + "HHH", self.data, 0x3A)
            layout = "IIQQQQIIQQ"
        else:
            shoff, = struct.unpack_from(self.end + "I", self.data, 0x20)
            shentsize, shnum, shstrndx = struct.unpack_from(self.end + "HHH", self.data, 0x2E)
            layout = "IIIIIIIIII"
        raw = []
        for i in range(shnum):
            name, type_, _flags, _addr, offset, size, link, _info, _align, entsize = struct.unpack_from(
                self.end + layout, self.data, shoff + i * shentsize)
            raw.append((name, type_, offset, size, link, entsize))
        names_at = raw[shstrndx][2]
        self.sections = [Section(self._string(names_at + r[0]), *r[1:]) for r in raw]

    def _string(self, at):
        return self.data[at:self.data.index(b"\0", at)].decode()

    def section(self, name):
        return next((s for s in self.sections if s.name == name), None)

    def comment(self):
        """The strings of .comment: one per compiler or tool that wrote part of the file."""
        s = self.section(".comment")
        if s is None:
            return []
        return [t.decode() for t in self.data[s.offset:s.offset + s.size].split(b"\0") if t]

    def needed(self):
        """The libraries named by DT_NEEDED entries, in order."""
        s = self.section(".dynamic")
        strings = self.sections[s.link].offset
        fmt = self.end + ("qQ" if self.wide else "iI")
        step = struct.calcsize(fmt)
        out = []
        for at in range(s.offset, s.offset + s.size, step):
            tag, value = struct.unpack_from(fmt, self.data, at)
            if tag == 0:
                break
            if tag == DT_NEEDED:
                out.append(self._string(strings + value))
        return out

    def exported(self):
        """The names of the defined, global or weak, default-visibility dynamic symbols."""
        s = next(s for s in self.sections if s.type == SHT_DYNSYM)
        strings = self.sections[s.link].offset
        out = []
        for at in range(s.offset + s.entsize, s.offset + s.size, s.entsize):
            if self.wide:
                name, info, other, shndx = struct.unpack_from(self.end + "IBBH", self.data, at)
            else:
                name, _value, _size, info, other, shndx = struct.unpack_from(self.end + "IIIBBH", self.data, at)
            if shndx != SHN_UNDEF and info >> 4 in (STB_GLOBAL, STB_WEAK) and other & 3 == STV_DEFAULT:
                out.append(self._string(strings + name))
        return sorted(out)
