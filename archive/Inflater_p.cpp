#include "Inflater_p.h"

Inflater::Inflater()
    : state(std::make_unique<inflate_state>())
{
    isal_inflate_init(state.get());
}

Inflater::~Inflater() = default;

void Inflater::give(const quint8 *data, unsigned size)
{
    // ISA-L takes a pointer to bytes it does not change.
    state->next_in = const_cast<quint8 *>(data);
    state->avail_in = size;
    given += size;
}

Inflater::Step Inflater::step(quint8 *out, unsigned length, unsigned &produced)
{
    state->next_out = out;
    state->avail_out = length;
    const unsigned inBefore = state->avail_in;
    const auto stateBefore = state->block_state;
    const int result = isal_inflate(state.get());
    produced = length - state->avail_out;
    if (result != ISAL_DECOMP_OK)
        return Step::Corrupt;
    return state->avail_in == inBefore && produced == 0 && state->block_state == stateBefore ? Step::Stuck
                                                                                             : Step::Moved;
}
