#include "laz/decompressed_las.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "base/failure.h"
#include "io/byte_order.h"
#include "io/posix_io.h"
#include "las/las_vlr.h"
#include "laz/laszip_record.h"

namespace laz {

KeptLas::KeptLas(std::string name, int fd, uint64_t file_size, const LasHeader &header, RecordSource &inner)
    : name_(std::move(name)), fd_(fd), file_size_(file_size), header_(header), inner_(inner) {
    // The LASzip record: the first one of the walk from the header, as the
    // plan found it.
    const VlrSpace space =
        vlr_space(header.header_size, header.version_header_bytes(), header.offset_to_data, file_size);
    BlockReader reader(fd_, space);
    walk_records(reader.reader(), space, header.vlr_count, false, [this](const RecordPlace &r) {
        if (!is_laszip_vlr(r.user_id, r.record_id)) return true;
        laszip_at_ = r.at;
        laszip_bytes_ = r.header_bytes + r.payload_bytes;
        return false;
    });
    if (laszip_bytes_ == 0) fail("%s: its LASzip record cannot be found again to leave it out of the LAS file", name_.c_str());
}

void KeptLas::copy(uint64_t from, uint64_t size, uint64_t to) {
    std::vector<unsigned char> block(static_cast<size_t>(std::min<uint64_t>(size, 1u << 20)));
    for (uint64_t done = 0; done < size;) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(block.size(), size - done));
        const long long got = io::pread_fully(fd_, block.data(), n, from + done);
        if (got < 0) fail("%s cannot be read: %s", name_.c_str(), std::strerror(errno));
        if (static_cast<size_t>(got) != n)
            fail("%s is cut short: it ends before byte %llu", name_.c_str(), static_cast<unsigned long long>(from + done + n));
        output_->put_at(block.data(), n, to + done);
        done += n;
    }
}

void KeptLas::start(OutputFile &output) {
    output_ = &output;
    const uint64_t data = header_.offset_to_data;
    // Everything before the points, less the LASzip record.
    copy(0, laszip_at_, 0);
    copy(laszip_at_ + laszip_bytes_, data - laszip_at_ - laszip_bytes_, laszip_at_);
    next_at_ = data - laszip_bytes_;

    unsigned char format = static_cast<unsigned char>(header_.point_format());
    output_->put_at(&format, 1, las_field::kPointFormat);
    unsigned char word[8];
    store_le32(word, static_cast<uint32_t>(next_at_));
    output_->put_at(word, 4, las_field::kOffsetToData);
    store_le32(word, header_.vlr_count - 1);
    output_->put_at(word, 4, las_field::kVlrCount);
    if (header_.version_minor >= 4 && header_.evlr_count > 0 && header_.evlr_start != 0) {
        store_le64(word, next_at_ + header_.point_count() * header_.record_length);
        output_->put_at(word, 8, las_field::kEvlrStart);
    }
}

void KeptLas::read(unsigned char *dst, uint32_t count) {
    inner_.read(dst, count);
    const uint64_t bytes = uint64_t{count} * header_.record_length;
    output_->put_at(dst, static_cast<size_t>(bytes), next_at_);
    next_at_ += bytes;
}

void KeptLas::finish() {
    inner_.finish();
    if (header_.version_minor < 4 || header_.evlr_count == 0 || header_.evlr_start == 0) return;
    // The extended records as far as they are whole (as a reader walks them).
    const VlrSpace space{header_.evlr_start, file_size_};
    BlockReader reader(fd_, space);
    uint64_t end = header_.evlr_start;
    walk_records(reader.reader(), space, header_.evlr_count, true, [&end](const RecordPlace &r) {
        end = r.at + r.header_bytes + r.payload_bytes;
        return true;
    });
    copy(header_.evlr_start, end - header_.evlr_start, next_at_);
}

}  // namespace laz
