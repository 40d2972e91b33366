#include "dbf/dbf_table.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "base/failure.h"
#include "base/text.h"
#include "io/byte_order.h"
#include "io/large_buffer.h"

namespace {

// Rows are formatted in blocks that stay in the second-level cache between
// the formatting and the kernel's copy into the page cache.
constexpr size_t kBlockBytes = 512u << 10;

// shapelib writes the table's header through these hooks into the run's
// own temporary file: no second open by name, and every write is checked
// (shapelib itself does not report failed writes).
struct HookedTable {
    const OutputFile *file;
    uint64_t position = 0;
    uint64_t end = 0;  // bytes written so far
    int error = 0;
};
thread_local HookedTable *t_table = nullptr;  // the table being created on this thread

SAFile hook_open(const char *, const char *access) {
    HookedTable *table = t_table;
    if (table == nullptr) return nullptr;
    table->position = 0;
    if (access[0] == 'w') table->end = 0;  // "wb": shapelib starts the file afresh
    return reinterpret_cast<SAFile>(table);
}
SAOffset hook_read(void *, SAOffset, SAOffset, SAFile) { return 0; }  // a new table is never read back
SAOffset hook_write(void *data, SAOffset size, SAOffset count, SAFile handle) {
    HookedTable *table = reinterpret_cast<HookedTable *>(handle);
    const uint64_t bytes = static_cast<uint64_t>(size) * count;
    if (table->error == 0) table->error = table->file->write_at(data, static_cast<size_t>(bytes), table->position);
    table->position += bytes;
    table->end = std::max(table->end, table->position);
    return table->error == 0 ? count : 0;
}
SAOffset hook_seek(SAFile handle, SAOffset offset, int whence) {
    HookedTable *table = reinterpret_cast<HookedTable *>(handle);
    table->position = whence == SEEK_SET ? offset : whence == SEEK_END ? table->end + offset : table->position + offset;
    return 0;
}
SAOffset hook_tell(SAFile handle) { return reinterpret_cast<HookedTable *>(handle)->position; }
int hook_flush(SAFile) { return 0; }
int hook_close(SAFile) { return 0; }  // the descriptor belongs to the run's output file
// shapelib removes a .cpg of the table's name when no code page is given:
// never a file of the user's.
int hook_remove(const char *) { return 0; }
void hook_error(const char *) {}
double hook_atof(const char *text) { return std::atof(text); }

SAHooks table_hooks() {
    SAHooks hooks;
    SASetupDefaultHooks(&hooks);
    hooks.FOpen = hook_open;
    hooks.FRead = hook_read;
    hooks.FWrite = hook_write;
    hooks.FSeek = hook_seek;
    hooks.FTell = hook_tell;
    hooks.FFlush = hook_flush;
    hooks.FClose = hook_close;
    hooks.Remove = hook_remove;
    hooks.Error = hook_error;
    hooks.Atof = hook_atof;
    return hooks;
}

}  // namespace

DbfTable::DbfTable(OutputSet &outputs, std::string dbfname, DbfSchema schema, size_t stride, AddField add_field)
    : outputs_(outputs), name_(std::move(dbfname)), schema_(std::move(schema)), stride_(stride), add_field_(add_field) {
    header_length_ = schema_.header_length();
    row_length_ = schema_.row_length();
}

void DbfTable::create() {
    const char *dbfname = name_.c_str();
    file_ = outputs_.open(name_, {"DBFCreate(%s) failed.", true});
    SAHooks hooks = table_hooks();
    HookedTable table{file_};
    t_table = &table;
    struct Unhook {
        ~Unhook() { t_table = nullptr; }
    } unhook;

    // The code page DBFCreate itself gives a new table (language driver 87).
    DBFHandle hDBF = DBFCreateLL(dbfname, "LDID/87", &hooks);
    if (hDBF == nullptr) fail_same_line("DBFCreate(%s) failed.", dbfname);
    // Rows are written after the header, so the table must end right after
    // it, without the end-of-file byte some library versions add.
    DBFSetWriteEndOfFileChar(hDBF, 0);
    for (const DbfField &f : schema_.fields) {
        if (add_field_(hDBF, f.name.c_str(), f.decimals > 0 ? FTDouble : FTInteger, f.width, f.decimals) == -1) {
            DBFClose(hDBF);
            Failure failure{formatted(f.failure.c_str(), dbfname), true};
            throw failure;
        }
    }
    DBFClose(hDBF);
    if (table.error != 0 || table.end != header_length_) fail("Failed to write the header of %s", dbfname);
}

void DbfTable::rename(const std::string &dbfname) {
    if (file_ != nullptr) outputs_.retarget(file_->name(), dbfname);
    name_ = dbfname;
}

void DbfTable::set_record_count(uint32_t records) {
    unsigned char count[4];
    store_le32(count, records);
    file_->put_at(count, sizeof count, 4);
}

void DbfTable::write_rows(const unsigned char *records, uint32_t count, uint64_t first) {
    const size_t block_rows = std::max<size_t>(1, kBlockBytes / row_length_);
    char *block = reinterpret_cast<char *>(formatting_block(block_rows * row_length_));
    ValueChanges changes;
    for (size_t start = 0; start < count; start += block_rows) {
        const size_t n = std::min(block_rows, static_cast<size_t>(count) - start);
        format_rows(records + start * stride_, n, stride_, schema_, block, changes);
        const uint64_t at = header_length_ + (first + start) * row_length_;
        file_->put_at(block, n * row_length_, at);
        file_->start_writeback(at, n * row_length_);
    }
    const std::lock_guard lock(changes_mutex_);
    changes_ += changes;
}

ValueChanges DbfTable::value_changes() {
    const std::lock_guard lock(changes_mutex_);
    return changes_;
}

void DbfSink::begin(uint64_t points, const double[6]) {
    announced_ = points;
    table_.create();
    table_.set_record_count(static_cast<uint32_t>(points));
}

void DbfSink::write(const Piece &piece) { table_.write_rows(piece.records, piece.count, piece.first); }

void DbfSink::finish(const Extent &written) {
    if (written.points != announced_) table_.set_record_count(static_cast<uint32_t>(written.points));
}
