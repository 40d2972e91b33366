#include "las/las_vlr.h"

#include <algorithm>
#include <cstring>

#include "io/byte_order.h"
#include "io/posix_io.h"

namespace {

constexpr uint64_t kVlrHeaderBytes = 54;
constexpr uint64_t kEvlrHeaderBytes = 60;

std::string user_id_of(const unsigned char *header) {
    const char *user = reinterpret_cast<const char *>(header + 2);
    return std::string(user, std::find(user, user + 16, '\0'));
}

}  // namespace

VlrSpace vlr_space(uint16_t header_size, uint64_t version_header_bytes, uint32_t offset_to_data, uint64_t file_size) {
    VlrSpace space;
    space.begin = std::max<uint64_t>(header_size, version_header_bytes);
    space.end = std::min<uint64_t>(offset_to_data, file_size);
    return space;
}

void walk_records(const ReadAt &read, VlrSpace space, uint32_t count, bool extended,
                  const std::function<bool(const RecordPlace &)> &visit) {
    const uint64_t header_bytes = extended ? kEvlrHeaderBytes : kVlrHeaderBytes;
    uint64_t at = space.begin;
    // Each record takes at least its header's bytes of the space, so a
    // garbage count cannot make this loop longer than the space allows.
    for (uint32_t i = 0; i < count; ++i) {
        if (at >= space.end || space.end - at < header_bytes) break;
        unsigned char header[kEvlrHeaderBytes];
        if (!read(at, header, header_bytes)) break;
        const uint64_t length = extended ? load_le64(header + 20) : load_le16(header + 20);
        if (space.end - at - header_bytes < length) break;
        if (!visit({user_id_of(header), load_le16(header + 18), at, header_bytes, length})) break;
        at += header_bytes + length;
    }
}

namespace {

std::vector<LasVlr> kept_records(const ReadAt &read, VlrSpace space, uint32_t count, bool extended,
                                 const VlrFilter &keep, uint64_t max_payload) {
    std::vector<LasVlr> kept;
    walk_records(read, space, count, extended, [&](const RecordPlace &r) {
        if (!keep(r.user_id, r.record_id)) return true;
        if (r.payload_bytes > max_payload) {
            kept.push_back({r.user_id, r.record_id, "", r.payload_bytes});
            return true;
        }
        LasVlr vlr{r.user_id, r.record_id, std::string(static_cast<size_t>(r.payload_bytes), '\0'), 0};
        if (r.payload_bytes > 0 &&
            !read(r.at + r.header_bytes, vlr.payload.data(), static_cast<size_t>(r.payload_bytes)))
            return false;
        kept.push_back(std::move(vlr));
        return true;
    });
    return kept;
}

}  // namespace

std::vector<LasVlr> read_vlrs(const ReadAt &read, VlrSpace space, uint32_t count, const VlrFilter &keep) {
    return kept_records(read, space, count, false, keep, UINT64_MAX);
}

std::vector<LasVlr> read_evlrs(const ReadAt &read, VlrSpace space, uint32_t count, const VlrFilter &keep,
                               uint64_t max_payload) {
    return kept_records(read, space, count, true, keep, max_payload);
}

bool is_extra_bytes_vlr(const std::string &user_id, uint16_t record_id) {
    return user_id == "LASF_Spec" && record_id == 4;
}

bool is_projection_vlr(const std::string &user_id, uint16_t record_id) {
    if (user_id == "LASF_Projection")
        return record_id == 34735 || record_id == 34736 || record_id == 34737 || record_id == 2112;
    return user_id == "liblas" && record_id == 2112;
}

BlockReader::BlockReader(int fd, VlrSpace space) : fd_(fd), space_(space) {}

bool BlockReader::read(uint64_t offset, void *buffer, size_t size) {
    if (offset < space_.begin || offset > space_.end || space_.end - offset < size) return false;
    unsigned char *out = static_cast<unsigned char *>(buffer);
    while (size > 0) {
        if (offset < block_at_ || offset >= block_at_ + block_.size()) {
            // Refill from `offset` on, never past the space.
            const uint64_t length = std::min<uint64_t>(kBlockBytes, space_.end - offset);
            block_.resize(static_cast<size_t>(length));
            const long long got = io::pread_fully(fd_, block_.data(), block_.size(), offset);
            if (got < 0) {
                block_.clear();
                return false;
            }
            block_.resize(static_cast<size_t>(got));
            block_at_ = offset;
            if (got == 0) return false;
        }
        const size_t at = static_cast<size_t>(offset - block_at_);
        const size_t n = std::min(size, block_.size() - at);
        std::memcpy(out, block_.data() + at, n);
        out += n;
        offset += n;
        size -= n;
    }
    return true;
}
