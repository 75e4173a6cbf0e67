// Loading a driver image: the PE format's headers read field by field from
// the file's bytes (never by casting them onto the host's structures), each
// offset and size checked against the file or the image before it is used.
#include "platform/hosted/image.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sys/mman.h>
#include <unistd.h>

namespace hosted {

namespace {

#if defined(__x86_64__)
constexpr uint16_t HostMachine = 0x8664; // IMAGE_FILE_MACHINE_AMD64
constexpr uint16_t HostMagic = 0x20b;    // PE32+
constexpr unsigned HostRelocation = 10;  // IMAGE_REL_BASED_DIR64
constexpr size_t ThunkBytes = 8;
constexpr const char* HostMachineName = "AMD64";
#elif defined(__i386__)
constexpr uint16_t HostMachine = 0x14c; // IMAGE_FILE_MACHINE_I386
constexpr uint16_t HostMagic = 0x10b;   // PE32
constexpr unsigned HostRelocation = 3;  // IMAGE_REL_BASED_HIGHLOW
constexpr size_t ThunkBytes = 4;
constexpr const char* HostMachineName = "I386";
#else
#error "driver images load only on x86_64 and i686 hosts"
#endif

constexpr unsigned RelocationPadding = 0; // IMAGE_REL_BASED_ABSOLUTE
constexpr size_t SectionHeaderBytes = 40;
constexpr size_t ImportDescriptorBytes = 20;
constexpr size_t SymbolBytes = 18;
constexpr size_t MaxImageBytes = 64 * 1024 * 1024;
constexpr unsigned MaxSections = 96; // as the NT loader allows
constexpr unsigned DirectoryImport = 1;
constexpr unsigned DirectoryRelocation = 5;
constexpr uint32_t SectionExecute = 0x20000000;
constexpr uint32_t SectionRead = 0x40000000;
constexpr uint32_t SectionWrite = 0x80000000;

uint16_t Read16(const uint8_t* p)
{
    return uint16_t(p[0] | p[1] << 8);
}

uint32_t Read32(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

uint64_t Read64(const uint8_t* p)
{
    return uint64_t(Read32(p)) | uint64_t(Read32(p + 4)) << 32;
}

bool Within(uint64_t offset, uint64_t length, uint64_t size)
{
    return offset <= size && length <= size - offset;
}

struct Section {
    char Name[9];
    uint32_t VirtualSize, VirtualAddress, RawSize, RawOffset, Characteristics;
};

struct Directory {
    uint32_t Rva = 0, Size = 0;
};

// Each live image's range, for the fault handler: a fixed table of atomics,
// since a signal handler may read it while a load or an unload writes it.
constexpr size_t MaxRanges = 16;
std::atomic<uintptr_t> g_rangeBegin[MaxRanges];
std::atomic<size_t> g_rangeSize[MaxRanges];

} // namespace

bool RegisterImageRange(uintptr_t begin, size_t size)
{
    for (size_t i = 0; i < MaxRanges; ++i) {
        uintptr_t expected = 0;
        if (g_rangeBegin[i].compare_exchange_strong(expected, begin)) {
            g_rangeSize[i].store(size);
            return true;
        }
    }
    return false;
}

void UnregisterImageRange(uintptr_t begin)
{
    for (size_t i = 0; i < MaxRanges; ++i)
        if (g_rangeBegin[i].load() == begin) {
            g_rangeSize[i].store(0);
            g_rangeBegin[i].store(0);
        }
}

bool InLoadedImage(uintptr_t address, uintptr_t* base)
{
    for (size_t i = 0; i < MaxRanges; ++i) {
        uintptr_t begin = g_rangeBegin[i].load();
        if (begin && address >= begin && address - begin < g_rangeSize[i].load()) {
            *base = begin;
            return true;
        }
    }
    return false;
}

// Reads, checks and maps one image; the first problem found ends the load
// with its reason.
class ImageMapper {
public:
    ImageMapper(const std::vector<uint8_t>& file, const std::string& name,
                const ImportResolver& resolve)
        : file_(file), name_(name), resolve_(resolve)
    {
    }

    std::unique_ptr<DriverImage> Load(std::string* error)
    {
        std::unique_ptr<DriverImage> image(new DriverImage);
        image_ = image.get();
        if (!ReadHeaders() || !ReadSections() || !Map() || !Relocate() || !BindImports() ||
            !ReadSymbols() || !Protect() || !FindEntry()) {
            *error = name_ + ": " + error_;
            return nullptr;
        }
        if (!RegisterImageRange(image->Base(), image->Size())) {
            *error = name_ + ": too many driver images loaded at once";
            return nullptr;
        }
        return image;
    }

private:
    bool Fail(const std::string& reason)
    {
        error_ = reason;
        return false;
    }

    bool ReadHeaders()
    {
        const size_t size = file_.size();
        if (size < 64 || file_[0] != 'M' || file_[1] != 'Z')
            return Fail("not a PE image: no MZ header");
        const uint32_t pe = Read32(&file_[0x3c]);
        if (!Within(pe, 24, size) || std::memcmp(&file_[pe], "PE\0\0", 4) != 0)
            return Fail("not a PE image: no PE signature");
        const uint8_t* header = &file_[pe + 4];
        const uint16_t machine = Read16(header);
        if (machine != HostMachine) {
            char text[96];
            std::snprintf(text, sizeof text, "machine type 0x%04x, not %s (0x%04x) as this host",
                          machine, HostMachineName, HostMachine);
            return Fail(text);
        }
        sectionCount_ = Read16(header + 2);
        symbolTable_ = Read32(header + 8);
        symbolCount_ = Read32(header + 12);
        const uint16_t optionalSize = Read16(header + 16);
        const size_t optional = pe + 24;
        if (!Within(optional, optionalSize, size) || optionalSize < 2)
            return Fail("truncated: the optional header runs past the end of the file");
        const uint8_t* o = &file_[optional];
        if (Read16(o) != HostMagic)
            return Fail(HostMagic == 0x20b ? "not a PE32+ optional header"
                                           : "not a PE32 optional header");
        const bool wide = HostMagic == 0x20b;
        const size_t directories = wide ? 112 : 96; // where the data directories begin
        if (optionalSize < directories)
            return Fail("the optional header is too short");
        entryRva_ = Read32(o + 16);
        imageBase_ = wide ? Read64(o + 24) : Read32(o + 28);
        imageSize_ = Read32(o + 56);
        headersSize_ = Read32(o + 60);
        const uint32_t directoryCount = Read32(o + directories - 4);
        if (directoryCount > 16 || directories + directoryCount * 8ull > optionalSize)
            return Fail("the data directories run past the optional header");
        auto directory = [&](unsigned index) {
            Directory d;
            if (index < directoryCount) {
                d.Rva = Read32(o + directories + index * 8);
                d.Size = Read32(o + directories + index * 8 + 4);
            }
            return d;
        };
        imports_ = directory(DirectoryImport);
        relocations_ = directory(DirectoryRelocation);
        sectionTable_ = optional + optionalSize;
        if (imageSize_ == 0 || imageSize_ > MaxImageBytes)
            return Fail("image size " + std::to_string(imageSize_) + " is not sane");
        if (headersSize_ > imageSize_ || headersSize_ > size)
            return Fail("truncated: the headers run past the end of the file");
        return true;
    }

    bool ReadSections()
    {
        if (sectionCount_ == 0 || sectionCount_ > MaxSections)
            return Fail(std::to_string(sectionCount_) + " sections is not sane");
        if (!Within(sectionTable_, uint64_t(sectionCount_) * SectionHeaderBytes, file_.size()))
            return Fail("truncated: the section table runs past the end of the file");
        for (unsigned i = 0; i < sectionCount_; ++i) {
            const uint8_t* h = &file_[sectionTable_ + i * SectionHeaderBytes];
            Section s;
            std::memcpy(s.Name, h, 8);
            s.Name[8] = '\0';
            s.VirtualSize = Read32(h + 8);
            s.VirtualAddress = Read32(h + 12);
            s.RawSize = Read32(h + 16);
            s.RawOffset = Read32(h + 20);
            s.Characteristics = Read32(h + 36);
            const uint32_t span = s.VirtualSize ? s.VirtualSize : s.RawSize;
            if (s.VirtualAddress < headersSize_ || !Within(s.VirtualAddress, span, imageSize_))
                return Fail(std::string("section ") + s.Name + " lies outside the image");
            if (s.RawSize && !Within(s.RawOffset, s.RawSize, file_.size()))
                return Fail(std::string("truncated: section ") + s.Name +
                            " runs past the end of the file");
            sections_.push_back(s);
        }
        return true;
    }

    bool Map()
    {
        const size_t page = size_t(sysconf(_SC_PAGESIZE));
        size_t mapped = (imageSize_ + page - 1) / page * page;
        void* base =
            mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (base == MAP_FAILED)
            return Fail("no memory for an image of " + std::to_string(imageSize_) + " bytes");
        image_->base_ = base;
        image_->size_ = mapped;
        base_ = static_cast<uint8_t*>(base);
        std::memcpy(base_, file_.data(), headersSize_);
        for (const Section& s : sections_) {
            // Beyond its raw data a section is zero-filled (BSS), as the
            // fresh mapping already is.
            uint32_t copied = s.RawSize;
            if (s.VirtualSize && s.VirtualSize < copied)
                copied = s.VirtualSize;
            if (copied && !Within(s.VirtualAddress, copied, imageSize_))
                return Fail(std::string("section ") + s.Name + " lies outside the image");
            if (copied)
                std::memcpy(base_ + s.VirtualAddress, &file_[s.RawOffset], copied);
        }
        return true;
    }

    bool Relocate()
    {
        if (relocations_.Size == 0)
            return true;
        if (!Within(relocations_.Rva, relocations_.Size, imageSize_))
            return Fail("the relocation directory lies outside the image");
        const uintptr_t delta = reinterpret_cast<uintptr_t>(base_) - uintptr_t(imageBase_);
        uint32_t at = relocations_.Rva;
        const uint32_t end = relocations_.Rva + relocations_.Size;
        while (at < end) {
            if (end - at < 8)
                return Fail("a relocation block runs past its directory");
            const uint32_t page = Read32(base_ + at);
            const uint32_t blockSize = Read32(base_ + at + 4);
            if (blockSize < 8 || blockSize > end - at || blockSize % 2 != 0)
                return Fail("a relocation block runs past its directory");
            for (uint32_t entry = at + 8; entry < at + blockSize; entry += 2) {
                const uint16_t value = Read16(base_ + entry);
                if (!ApplyRelocation(value >> 12, uint64_t(page) + (value & 0xfff), delta))
                    return false;
            }
            at += blockSize;
        }
        return true;
    }

    bool ApplyRelocation(unsigned type, uint64_t target, uintptr_t delta)
    {
        char text[96];
        if (type == RelocationPadding)
            return true;
        if (type != HostRelocation) {
            std::snprintf(text, sizeof text, "relocation of type %u at RVA 0x%llx", type,
                          (unsigned long long)target);
            return Fail(text);
        }
        if (!Within(target, sizeof(uintptr_t), imageSize_)) {
            std::snprintf(text, sizeof text, "relocation at RVA 0x%llx lies outside the image",
                          (unsigned long long)target);
            return Fail(text);
        }
        uintptr_t value;
        std::memcpy(&value, base_ + target, sizeof value);
        value += delta;
        std::memcpy(base_ + target, &value, sizeof value);
        return true;
    }

    // A NUL-terminated string at `rva` that ends inside the image.
    const char* StringAt(uint64_t rva)
    {
        if (rva >= imageSize_)
            return nullptr;
        const void* end = std::memchr(base_ + rva, '\0', imageSize_ - rva);
        return end ? reinterpret_cast<const char*>(base_ + rva) : nullptr;
    }

    bool BindImports()
    {
        if (imports_.Size == 0)
            return true;
        if (!Within(imports_.Rva, ImportDescriptorBytes, imageSize_))
            return Fail("the import directory lies outside the image");
        for (uint64_t at = imports_.Rva;; at += ImportDescriptorBytes) {
            if (!Within(at, ImportDescriptorBytes, imageSize_))
                return Fail("the import directory runs past the end of the image");
            const uint8_t* d = base_ + at;
            const uint32_t names = Read32(d), moduleName = Read32(d + 12), thunks = Read32(d + 16);
            if (names == 0 && moduleName == 0 && thunks == 0)
                return true;
            const char* module = StringAt(moduleName);
            if (!module)
                return Fail("an import names its module outside the image");
            if (!BindModule(module, names ? names : thunks, thunks))
                return false;
        }
    }

    bool BindModule(const char* module, uint32_t names, uint32_t thunks)
    {
        const uint64_t ordinalFlag = uint64_t(1) << (ThunkBytes * 8 - 1);
        for (uint64_t i = 0;; ++i) {
            const uint64_t nameSlot = names + i * ThunkBytes, thunkSlot = thunks + i * ThunkBytes;
            if (!Within(nameSlot, ThunkBytes, imageSize_) ||
                !Within(thunkSlot, ThunkBytes, imageSize_))
                return Fail(std::string("the import table of ") + module +
                            " runs past the end of the image");
            const uint64_t entry =
                ThunkBytes == 8 ? Read64(base_ + nameSlot) : Read32(base_ + nameSlot);
            if (entry == 0)
                return true;
            if (entry & ordinalFlag)
                return Fail(std::string("imports ordinal ") + std::to_string(entry & 0xffff) +
                            " of " + module + ": only imports by name are bound");
            const char* routine = entry < imageSize_ ? StringAt(entry + 2) : nullptr;
            if (!routine)
                return Fail(std::string("an import of ") + module + " is named outside the image");
            const KernelExport* found =
                resolve_ ? resolve_(module, routine) : FindKernelExport(module, routine);
            if (!found || !found->Address)
                return Fail(std::string("imports ") + module + "!" + routine +
                            ", which the hosted kernel does not provide");
            uintptr_t address = reinterpret_cast<uintptr_t>(found->Address);
            std::memcpy(base_ + thunkSlot, &address, sizeof address);
        }
    }

    bool ReadSymbols()
    {
        if (symbolTable_ == 0 || symbolCount_ == 0)
            return true;
        const uint64_t tableBytes = uint64_t(symbolCount_) * SymbolBytes;
        if (!Within(symbolTable_, tableBytes + 4, file_.size()))
            return Fail("truncated: the symbol table runs past the end of the file");
        const uint64_t strings = symbolTable_ + tableBytes;
        const uint32_t stringsSize = Read32(&file_[strings]);
        if (stringsSize < 4 || !Within(strings, stringsSize, file_.size()))
            return Fail("truncated: the symbol names run past the end of the file");
        for (uint32_t i = 0; i < symbolCount_; ++i) {
            const uint8_t* s = &file_[symbolTable_ + uint64_t(i) * SymbolBytes];
            const int16_t section = int16_t(Read16(s + 12));
            i += s[17]; // its auxiliary records
            if (section <= 0 || unsigned(section) > sections_.size())
                continue;
            std::string name;
            if (Read32(s) == 0) {
                const uint32_t offset = Read32(s + 4);
                if (offset < 4 || offset >= stringsSize)
                    continue;
                const uint8_t* text = &file_[strings + offset];
                name.assign(reinterpret_cast<const char*>(text),
                            strnlen(reinterpret_cast<const char*>(text), stringsSize - offset));
            } else {
                name.assign(reinterpret_cast<const char*>(s), strnlen((const char*)s, 8));
            }
            const uint64_t rva = uint64_t(sections_[section - 1].VirtualAddress) + Read32(s + 8);
            if (rva < imageSize_)
                image_->symbols_.emplace(name, uint32_t(rva));
        }
        return true;
    }

    bool Protect()
    {
        const size_t page = size_t(sysconf(_SC_PAGESIZE));
        // A page two sections share gets what either needs; the headers and
        // any gap between sections are read-only.
        std::vector<int> protection(image_->size_ / page, -1);
        for (const Section& s : sections_) {
            int p = 0;
            if (s.Characteristics & SectionRead)
                p |= PROT_READ;
            if (s.Characteristics & SectionWrite)
                p |= PROT_READ | PROT_WRITE;
            if (s.Characteristics & SectionExecute)
                p |= PROT_READ | PROT_EXEC;
            const uint64_t end =
                uint64_t(s.VirtualAddress) + (s.VirtualSize ? s.VirtualSize : s.RawSize);
            for (size_t i = s.VirtualAddress / page; i * page < end; ++i)
                protection[i] = (protection[i] < 0 ? 0 : protection[i]) | p;
        }
        for (int& p : protection)
            if (p < 0)
                p = PROT_READ;
        for (size_t i = 0; i < protection.size();) {
            size_t j = i;
            while (j < protection.size() && protection[j] == protection[i])
                ++j;
            if (mprotect(base_ + i * page, (j - i) * page, protection[i]) != 0)
                return Fail("the image's pages could not be protected");
            i = j;
        }
        return true;
    }

    bool FindEntry()
    {
        if (entryRva_ == 0 || entryRva_ >= imageSize_)
            return Fail("the entry point lies outside the image");
        image_->entry_ = reinterpret_cast<DRIVER_INITIALIZE*>(base_ + entryRva_);
        return true;
    }

    const std::vector<uint8_t>& file_;
    const std::string& name_;
    const ImportResolver& resolve_;
    DriverImage* image_ = nullptr;
    std::string error_;
    uint8_t* base_ = nullptr;
    unsigned sectionCount_ = 0;
    uint32_t symbolTable_ = 0, symbolCount_ = 0;
    uint32_t entryRva_ = 0, imageSize_ = 0, headersSize_ = 0;
    uint64_t imageBase_ = 0;
    size_t sectionTable_ = 0;
    Directory imports_, relocations_;
    std::vector<Section> sections_;
};

std::unique_ptr<DriverImage> DriverImage::LoadBytes(const std::vector<uint8_t>& bytes,
                                                    const std::string& name, std::string* error,
                                                    const ImportResolver& resolve)
{
    return ImageMapper(bytes, name, resolve).Load(error);
}

std::unique_ptr<DriverImage> DriverImage::LoadFile(const std::string& path, std::string* error)
{
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        *error = path + ": cannot open";
        return nullptr;
    }
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)),
                               std::istreambuf_iterator<char>());
    return LoadBytes(bytes, path, error);
}

DriverImage::~DriverImage()
{
    if (base_) {
        UnregisterImageRange(Base());
        munmap(base_, size_);
    }
}

void* DriverImage::Symbol(const std::string& name) const
{
    auto found = symbols_.find(name);
    return found == symbols_.end() ? nullptr : static_cast<uint8_t*>(base_) + found->second;
}

} // namespace hosted
