#include "tool/common.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sys/stat.h>
#include <unistd.h>

namespace elamctl {

ToolError::ToolError(std::string subject_, std::string problem_)
    : std::runtime_error(subject_ + ": " + problem_), subject(std::move(subject_)), problem(std::move(problem_)) {}

std::string ToHex(std::span<const std::uint8_t> bytes, bool upper) {
    const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (std::uint8_t b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 0xF];
    }
    return out;
}

namespace {
int DigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}
}  // namespace

std::optional<Bytes> ParseHex(std::string_view text) {
    if (text.size() % 2 != 0) return std::nullopt;
    Bytes out;
    out.reserve(text.size() / 2);
    for (std::size_t i = 0; i < text.size(); i += 2) {
        const int high = DigitValue(text[i]);
        const int low = DigitValue(text[i + 1]);
        if (high < 0 || low < 0) return std::nullopt;
        out.push_back(static_cast<std::uint8_t>(high * 16 + low));
    }
    return out;
}

Bytes ReadWholeFile(const std::string& path) {
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) throw ToolError(path, "is a directory");
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) throw ToolError(path, std::string("cannot read: ") + std::strerror(errno));
    Bytes bytes;
    std::uint8_t buffer[65536];
    std::size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) bytes.insert(bytes.end(), buffer, buffer + got);
    const bool failed = std::ferror(file) != 0;
    const int error = errno;
    std::fclose(file);
    if (failed) throw ToolError(path, std::string("cannot read: ") + std::strerror(error));
    return bytes;
}

void WriteFileAtomically(const std::string& path, std::string_view content) {
    namespace fs = std::filesystem;
    const fs::path target(path);
    fs::path directory = target.parent_path();
    if (directory.empty()) directory = ".";
    std::string pattern = (directory / ("." + target.filename().string() + ".XXXXXX")).string();
    const int fd = mkstemp(pattern.data());
    if (fd < 0) throw ToolError(path, std::string("cannot write: ") + std::strerror(errno));
    const char* p = content.data();
    std::size_t left = content.size();
    while (left > 0) {
        const ssize_t n = write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            const int error = errno;
            close(fd);
            unlink(pattern.c_str());
            throw ToolError(path, std::string("cannot write: ") + std::strerror(error));
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    if (fsync(fd) != 0 || close(fd) != 0) {
        const int error = errno;
        unlink(pattern.c_str());
        throw ToolError(path, std::string("cannot write: ") + std::strerror(error));
    }
    // mkstemp makes the file 0600; give it the usual permissions.
    const mode_t mask = umask(0);
    umask(mask);
    chmod(pattern.c_str(), 0666 & ~mask);
    if (std::rename(pattern.c_str(), path.c_str()) != 0) {
        const int error = errno;
        unlink(pattern.c_str());
        throw ToolError(path, std::string("cannot write: ") + std::strerror(error));
    }
}

}  // namespace elamctl
