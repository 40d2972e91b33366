#include "outputs/parts.h"

#include <dirent.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "base/failure.h"
#include "base/text.h"
#include "shapefile/pointz_files.h"
#include "shapefile/shp_layout.h"

namespace {

using ull = unsigned long long;

// What a part's file may be called besides its outputs: the companions an
// earlier conversion may have left.
constexpr const char *kPartExtensions[] = {"shp", "shx", "dbf", "prj", "qix", "sbn", "sbx"};

std::string directory_of(const std::string &path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

// The points a file of `max_bytes` holds, after `header` bytes, at `per_point` each.
uint64_t fits(uint64_t max_bytes, uint64_t header, uint64_t per_point) {
    return max_bytes <= header ? 0 : (max_bytes - header) / per_point;
}

}  // namespace

SetBytes set_bytes(const ShapefileSpec &spec, uint64_t points) {
    return {shp::main_file_bytes(points), shp::index_file_bytes(points),
            spec.schema.header_length() + spec.schema.row_length() * points};
}

PartPlan plan_parts(const std::string &name, const ShapefileSpec &spec, uint64_t points, uint64_t max_bytes,
                    uint64_t format_limit) {
    PartPlan plan;
    plan.max_bytes = max_bytes;
    plan.points = points;
    // The .shp is the largest of the three but for a table of wide rows;
    // the .qix is always smaller than the .shp.
    uint64_t by_size = std::min({fits(max_bytes, shp::kHeaderBytes, shp::kRecordBytes),
                                 fits(max_bytes, shp::kHeaderBytes, shp::kIndexEntryBytes),
                                 fits(max_bytes, spec.schema.header_length(), spec.schema.row_length())});
    plan.by_format = format_limit <= by_size;
    plan.capacity = std::min(by_size, format_limit);
    if (plan.capacity == 0) {
        const SetBytes one = set_bytes(spec, 1);
        fail("%s: --max-size=%llu leaves no room for a single point: its files of one point take %llu (.shp) and "
             "%llu bytes (.dbf)",
             name.c_str(), static_cast<ull>(max_bytes), static_cast<ull>(one.shp), static_cast<ull>(one.dbf));
    }
    if (plan.parts() > kMaxParts)
        fail("%s: its %llu points would take %llu parts of at most %s, more than the %llu one conversion writes; "
             "give a larger --max-size",
             name.c_str(), static_cast<ull>(points), static_cast<ull>(plan.parts()), size_text(max_bytes).c_str(),
             static_cast<ull>(kMaxParts));
    return plan;
}

std::string part_stem(const std::string &stem, uint64_t k) { return stem + "_part" + std::to_string(k + 1); }

std::vector<PartFile> existing_parts(const std::string &stem) {
    const std::string directory = directory_of(stem);
    // "dir/" of "dir/t" ("" of "t"): the parts are named as the stem is.
    const size_t slash = stem.rfind('/');
    const std::string prefix = slash == std::string::npos ? "" : stem.substr(0, slash + 1);
    const std::string base = stem.substr(prefix.size()) + "_part";
    std::vector<PartFile> found;
    DIR *d = opendir(directory.c_str());
    if (d == nullptr) return found;
    while (const dirent *entry = readdir(d)) {
        const std::string file = entry->d_name;
        if (file.compare(0, base.size(), base) != 0) continue;
        const size_t dot = file.rfind('.');
        if (dot == std::string::npos || dot <= base.size()) continue;
        const std::string digits = file.substr(base.size(), dot - base.size()), extension = file.substr(dot + 1);
        if (digits.size() > 9 || digits[0] == '0' ||
            !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
            continue;
        if (std::none_of(std::begin(kPartExtensions), std::end(kPartExtensions),
                         [&](const char *e) { return extension == e; }))
            continue;
        found.push_back({std::stoull(digits), prefix + file});
    }
    closedir(d);
    std::sort(found.begin(), found.end(), [](const PartFile &a, const PartFile &b) { return a.name < b.name; });
    return found;
}

std::string size_text(uint64_t bytes) {
    if (bytes < 1024) return std::to_string(bytes) + " bytes";
    const char *units[] = {"KB", "MB", "GB", "TB"};
    double value = static_cast<double>(bytes) / 1024;
    int unit = 0;
    while (value >= 1024 && unit < 3) value /= 1024, ++unit;
    return formatted("%.1f %s", value, units[unit]);
}

// ---- The sink ----------------------------------------------------------------

struct ShapefileParts::Part {
    uint64_t index;
    std::unique_ptr<ShapefileSet> set;
    uint64_t announced;
    std::atomic<uint64_t> written{0};
    std::mutex mutex;  // guards extent and finished, and the set's names
    Extent extent;
    bool finished = false;
};

ShapefileParts::ShapefileParts(OutputSet &outputs, ShapefileSpec spec, PartPlan plan)
    : outputs_(outputs), spec_(std::move(spec)), plan_(plan) {}

ShapefileParts::~ShapefileParts() = default;

void ShapefileParts::begin(uint64_t points, const double box[6]) {
    announced_ = points;
    std::copy(box, box + 6, box_);
    // One set: written as a single conversion would, header box and all.
    // More points than one holds: the parts come as the points reach them.
    if (points <= plan_.capacity) part(0);
}

ShapefileParts::Part &ShapefileParts::part(uint64_t k) {
    const std::lock_guard lock(mutex_);
    while (parts_.size() <= k) {
        const uint64_t index = parts_.size();
        if (index == 1 && !split_) {
            // A second part: the first was named as the only one.
            split_ = true;
            const std::lock_guard first(parts_[0]->mutex);
            parts_[0]->set->rename(part_stem(spec_.stem, 0));
        }
        ShapefileSpec spec = spec_;
        if (split_) spec.stem = part_stem(spec_.stem, index);
        auto p = std::make_unique<Part>();
        p->index = index;
        p->announced = std::min(plan_.capacity, announced_ - std::min(announced_, index * plan_.capacity));
        p->set = std::make_unique<ShapefileSet>(outputs_, spec);
        double nan_box[6];
        std::fill(nan_box, nan_box + 6, std::nan(""));
        p->set->begin(p->announced, index == 0 && announced_ <= plan_.capacity ? box_ : nan_box);
        parts_.push_back(std::move(p));
        // The first part, full before the second was known, is done.
        if (index == 1 && parts_[0]->written.load() == parts_[0]->announced) finish_part(*parts_[0]);
    }
    return *parts_[k];
}

void ShapefileParts::write(const Piece &piece) {
    // Most pieces fall in one part whole, and come with their extent.
    const uint64_t k = piece.first / plan_.capacity;
    if ((piece.first + piece.count - 1) / plan_.capacity == k) {
        Piece sub = piece;
        sub.first -= k * plan_.capacity;
        write_to(part(k), sub);
        return;
    }
    for (uint32_t at = 0; at < piece.count;) {
        const uint64_t number = piece.first + at, k = number / plan_.capacity, in_part = number - k * plan_.capacity;
        const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(piece.count - at, plan_.capacity - in_part));
        Piece sub = piece;
        sub.records += static_cast<size_t>(at) * piece.stride;
        sub.count = n;
        sub.first = in_part;
        sub.first_in_chunk += static_cast<int32_t>(at);
        sub.x += at, sub.y += at, sub.z += at;
        sub.extent = extent_of(sub.x, sub.y, sub.z, n);
        write_to(part(k), sub);
        at += n;
    }
}

void ShapefileParts::write_to(Part &part, const Piece &piece) {
    part.set->write(piece);
    {
        const std::lock_guard lock(part.mutex);
        part.extent.add(piece.extent);
    }
    // The piece that fills a part of several finishes it: its files closed,
    // its index written, its memory released, while the next part fills.
    const bool full = part.written.fetch_add(piece.count) + piece.count == part.announced;
    bool split;
    {
        const std::lock_guard lock(mutex_);
        split = split_;
    }
    if (full && split) finish_part(part);
}

void ShapefileParts::finish_part(Part &part) {
    const std::lock_guard lock(part.mutex);
    if (part.finished) return;
    part.set->finish(part.extent);
    part.set->close();
    part.finished = true;
}

void ShapefileParts::finish(const Extent &) {
    part(0);  // no point at all: one empty set
    for (const std::unique_ptr<Part> &p : parts_) finish_part(*p);
}

std::vector<std::string> ShapefileParts::shp_names() const {
    std::vector<std::string> names;
    for (const std::unique_ptr<Part> &p : parts_) names.push_back(p->set->spec().shp());
    return names;
}

std::string ShapefileParts::value_changes() const {
    ValueChanges total;
    for (const std::unique_ptr<Part> &p : parts_) total += p->set->value_changes();
    return parts_.empty() ? "" : describe_value_changes(total, parts_[0]->set->schema());
}

void ShapefileParts::remove_stale() const {
    for (const std::unique_ptr<Part> &p : parts_) p->set->remove_stale_companions();
    for (const PartFile &f : existing_parts(spec_.stem))
        if (!split_ || f.part > parts_.size())
            outputs_.remove_on_commit(f.name, "a part of an earlier conversion to " + spec_.shp());
    if (!split_) return;
    ShapefileSpec whole = spec_;
    whole.index = false;
    whole.crs = {};
    for (const std::string &name : whole.outputs())
        outputs_.remove_on_commit(name, "a shapefile now written in parts");
    for (const std::string &name : whole.companions())
        outputs_.remove_on_commit(name, "a companion of a shapefile now written in parts");
}
