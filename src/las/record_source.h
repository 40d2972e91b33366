// Where a conversion run gets its point records from: the LAS file itself,
// read in order from the descriptor its header was checked on, or a LAZ
// decoder process streaming the decompressed records through a pipe.
// Either way the records arrive in file order, as the raw bytes of the
// uncompressed LAS records (record_length each), and are never sought.
#pragma once

#include <cstdint>

class RecordSource {
public:
    virtual ~RecordSource() = default;

    // Reads the next `count` records into `dst` (count x record length
    // bytes).  Fails (console.h's fail(), a Failure naming the input) unless
    // every byte of them arrives.
    virtual void read(unsigned char *dst, uint32_t count) = 0;

    // Called once every record announced has been read: fails if the
    // source cannot vouch for what it delivered (a decoder that then
    // reports an error or exits with a failure status).
    virtual void finish() = 0;
};
