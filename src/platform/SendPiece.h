// A piece of a gathered send: bytes sent from where they lie, with others, in one call.
#pragma once

namespace plat {

struct SendPiece {
    const void* data;
    int length;
};

// The most pieces one gathered send takes.
constexpr int kMaxSendPieces = 16;

}  // namespace plat
