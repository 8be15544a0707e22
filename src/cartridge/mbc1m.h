#pragma once
#include "cartridge/mbc1.h"

// MBC1 wired as a 1 MiB multicart: the high register selects one of four
// 256 KiB games, so only four bits of the low register reach the ROM and the
// RAM is never banked.
class MBC1M : public MBC1 {
public:
    void update() override;
};
