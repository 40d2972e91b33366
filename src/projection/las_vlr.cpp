#include "projection/las_vlr.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace {

constexpr uint64_t kPublicHeaderBytes = 227;
constexpr uint64_t kVlrHeaderBytes = 54;

uint16_t get16(const unsigned char *p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

// Closes the descriptor when the reading is done.
struct Descriptor {
    int fd;
    ~Descriptor() {
        if (fd >= 0) ::close(fd);
    }
};

}  // namespace

VlrSpace vlr_space(uint16_t header_size, uint32_t offset_to_data, uint64_t file_size) {
    VlrSpace space;
    space.begin = std::max<uint64_t>(header_size, kPublicHeaderBytes);
    space.end = std::min<uint64_t>(offset_to_data, file_size);
    return space;
}

std::vector<LasVlr> read_vlrs(const ReadAt &read, VlrSpace space, uint32_t count, const VlrFilter &keep) {
    std::vector<LasVlr> kept;
    uint64_t at = space.begin;
    // Each record takes at least 54 bytes of the space, so a garbage count
    // cannot make this loop longer than the space allows.
    for (uint32_t i = 0; i < count; ++i) {
        if (at >= space.end || space.end - at < kVlrHeaderBytes) break;
        unsigned char header[kVlrHeaderBytes];
        if (!read(at, header, sizeof header)) break;
        const uint16_t record_id = get16(header + 18);
        const uint16_t length = get16(header + 20);
        const uint64_t payload_at = at + kVlrHeaderBytes;
        if (space.end - payload_at < length) break;

        const char *user = reinterpret_cast<const char *>(header + 2);
        const std::string user_id(user, std::find(user, user + 16, '\0'));
        if (keep(user_id, record_id)) {
            LasVlr vlr{user_id, record_id, std::string(length, '\0')};
            if (length > 0 && !read(payload_at, vlr.payload.data(), length)) break;
            kept.push_back(std::move(vlr));
        }
        at = payload_at + length;
    }
    return kept;
}

bool is_projection_vlr(const std::string &user_id, uint16_t record_id) {
    if (user_id == "LASF_Projection")
        return record_id == 34735 || record_id == 34736 || record_id == 34737 || record_id == 2112;
    return user_id == "liblas" && record_id == 2112;
}

std::vector<LasVlr> read_projection_vlrs(const std::string &path, uint16_t header_size, uint32_t offset_to_data,
                                         uint32_t vlr_count) {
    if (vlr_count == 0) return {};
    const Descriptor file{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
    struct stat st {};
    if (file.fd < 0 || fstat(file.fd, &st) != 0) return {};
    const VlrSpace space = vlr_space(header_size, offset_to_data, static_cast<uint64_t>(st.st_size));
    const ReadAt read = [&file](uint64_t offset, void *buffer, size_t size) {
        char *bytes = static_cast<char *>(buffer);
        while (size > 0) {
            const ssize_t n = ::pread(file.fd, bytes, size, static_cast<off_t>(offset));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            bytes += n;
            offset += static_cast<uint64_t>(n);
            size -= static_cast<size_t>(n);
        }
        return true;
    };
    return read_vlrs(read, space, vlr_count, is_projection_vlr);
}
