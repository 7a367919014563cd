#include "testing/seven_zip_writer.h"

#include <archive.h>
#include <archive_entry.h>

#include <memory>
#include <stdexcept>

#include "transfer/handles.h"

namespace {

struct ArchiveEntryFree {
    void operator()(archive_entry* entry) const { archive_entry_free(entry); }
};
using ArchiveEntry = std::unique_ptr<archive_entry, ArchiveEntryFree>;

void check(archive* writer, int result, const std::string& what) {
    if (result != ARCHIVE_OK) {
        const char* text = archive_error_string(writer);
        throw std::runtime_error("writeSevenZip: " + what + ": " + (text ? text : ""));
    }
}

void requireAscii(const std::string& text) {
    for (char c : text)
        if (static_cast<unsigned char>(c) >= 0x80)
            throw std::runtime_error("writeSevenZip: the C locale cannot store the name " + text);
}

}  // namespace

SevenZipEntry fileEntry(const std::string& name, const std::string& bytes, int mode) {
    return {SevenZipEntry::Kind::file, name, bytes, mode};
}

SevenZipEntry folderEntry(const std::string& name) {
    return {SevenZipEntry::Kind::folder, name, "", 0755};
}

SevenZipEntry linkEntry(const std::string& name, const std::string& target) {
    return {SevenZipEntry::Kind::symlink, name, target, 0777};
}

void writeSevenZip(const std::filesystem::path& archive,
                   const std::vector<SevenZipEntry>& entries) {
    ArchiveWriter writer(archive_write_new());
    if (!writer) throw std::runtime_error("writeSevenZip: archive_write_new");
    check(writer.get(), archive_write_set_format_7zip(writer.get()), "format");
    check(writer.get(), archive_write_open_filename(writer.get(), archive.string().c_str()), "open");
    for (const SevenZipEntry& item : entries) {
        requireAscii(item.name);
        if (item.kind == SevenZipEntry::Kind::symlink) requireAscii(item.bytes);
        ArchiveEntry entry(archive_entry_new());
        archive_entry_set_pathname(entry.get(), item.name.c_str());
        archive_entry_set_mtime(entry.get(), 1700000000, 0);
        const std::string* data = nullptr;
        switch (item.kind) {
            case SevenZipEntry::Kind::file:
                archive_entry_set_filetype(entry.get(), AE_IFREG);
                archive_entry_set_size(entry.get(), static_cast<la_int64_t>(item.bytes.size()));
                data = &item.bytes;
                break;
            case SevenZipEntry::Kind::folder:
                archive_entry_set_filetype(entry.get(), AE_IFDIR);
                break;
            case SevenZipEntry::Kind::symlink:
                archive_entry_set_filetype(entry.get(), AE_IFLNK);
                archive_entry_set_symlink(entry.get(), item.bytes.c_str());
                break;
        }
        archive_entry_set_perm(entry.get(), static_cast<mode_t>(item.mode));
        check(writer.get(), archive_write_header(writer.get(), entry.get()), "header " + item.name);
        if (data && !data->empty() &&
            archive_write_data(writer.get(), data->data(), data->size()) !=
                static_cast<la_ssize_t>(data->size()))
            check(writer.get(), ARCHIVE_FATAL, "data " + item.name);
    }
    // The 7-Zip writer puts the whole header at the end: closing is where it is written.
    check(writer.get(), archive_write_close(writer.get()), "close");
}
