#pragma once

#include <QtGlobal>

#include <isa-l/igzip_lib.h>

#include <memory>

// Raw deflate data inflated with ISA-L, given in pieces and drained in
// pieces: what reads an entry from the archive file (EntryReader) and what
// takes it from the download as it is written (EntryStream) inflate alike.
class Inflater
{
public:
    enum class Step {
        Moved,   // some input taken or output given, or the data's end reached
        Stuck,   // nothing moved: the data needs input it was not given
        Corrupt, // not deflate data
    };

    Inflater();
    ~Inflater();
    Inflater(const Inflater &) = delete;
    Inflater &operator=(const Inflater &) = delete;

    // The next `size` bytes of the data, once the earlier ones are all taken
    // (inputLeft() is 0). They must stay where they are until taken.
    void give(const quint8 *data, unsigned size);
    // Of the bytes last given, those not taken yet.
    [[nodiscard]] unsigned inputLeft() const { return state->avail_in; }
    // Whether the data has ended and all its output has been given.
    [[nodiscard]] bool ended() const { return state->block_state == ISAL_BLOCK_FINISH; }
    // Of all the bytes given, those taken so far.
    [[nodiscard]] quint64 taken() const { return given - state->avail_in; }
    // Of those, the data's own: ISA-L reads up to 8 bytes ahead, so at the
    // data's end this says where whatever follows it begins.
    [[nodiscard]] quint64 dataLength() const { return taken() - quint64(state->read_in_length / 8); }

    // One pass of ISA-L into out[0, length), which receives `produced` bytes.
    [[nodiscard]] Step step(quint8 *out, unsigned length, unsigned &produced);

private:
    std::unique_ptr<inflate_state> state;
    quint64 given = 0;
};
