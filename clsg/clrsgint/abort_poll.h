// The abort poll of every long pixel loop: before each row whose absolute
// y coordinate is a multiple of 16 (0, 16, -16, ...).
#pragma once

#include "clsg/platform/attention.h"

inline void pollAttentionAtRow(long y) {
    if (y % 16 == 0) kfThrowExceptionOnFailure(ksys_attention_check());
}
