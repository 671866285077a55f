// Builds small tar.gz archives in memory for the restore tests.
#pragma once

#include <archive.h>
#include <archive_entry.h>

#include <string>
#include <vector>

struct TarMember {
    std::string name;
    std::string content;    // regular file content
    std::string link;       // symbolic link target when not empty
    bool hardlink = false;  // `link` is a hard link target
    mode_t type = AE_IFREG;
};

inline TarMember tar_file(std::string name, std::string content) {
    return {std::move(name), std::move(content), "", false, AE_IFREG};
}
inline TarMember tar_symlink(std::string name, std::string target) {
    return {std::move(name), "", std::move(target), false, AE_IFLNK};
}
inline TarMember tar_hardlink(std::string name, std::string target) {
    return {std::move(name), "", std::move(target), true, AE_IFREG};
}
inline TarMember tar_special(std::string name, mode_t type) {
    return {std::move(name), "", "", false, type};
}

inline std::string make_tar_gz(const std::vector<TarMember> &members) {
    std::vector<char> buf(1 << 20);
    size_t used = 0;
    struct archive *a = archive_write_new();
    archive_write_add_filter_gzip(a);
    archive_write_set_format_pax_restricted(a);
    archive_write_open_memory(a, buf.data(), buf.size(), &used);
    for (const TarMember &m : members) {
        struct archive_entry *e = archive_entry_new();
        archive_entry_set_pathname(e, m.name.c_str());
        archive_entry_set_perm(e, 0644);
        if (m.hardlink) {
            archive_entry_set_filetype(e, AE_IFREG);
            archive_entry_set_hardlink(e, m.link.c_str());
            archive_entry_set_size(e, 0);
        } else if (m.type == AE_IFLNK) {
            archive_entry_set_filetype(e, AE_IFLNK);
            archive_entry_set_symlink(e, m.link.c_str());
            archive_entry_set_size(e, 0);
        } else {
            archive_entry_set_filetype(e, m.type);
            archive_entry_set_size(e, m.type == AE_IFREG ? m.content.size() : 0);
        }
        archive_write_header(a, e);
        if (m.type == AE_IFREG && !m.hardlink) {
            archive_write_data(a, m.content.data(), m.content.size());
        }
        archive_entry_free(e);
    }
    archive_write_close(a);
    archive_write_free(a);
    return std::string(buf.data(), used);
}

// A multipart/form-data body carrying `file` as the part "file".
inline std::string make_multipart(const std::string &boundary, const std::string &file) {
    return "--" + boundary + "\r\n" +
           "Content-Disposition: form-data; name=\"file\"; filename=\"backup.tar.gz\"\r\n" +
           "Content-Type: application/gzip\r\n\r\n" + file + "\r\n--" + boundary + "--\r\n";
}
