#pragma once
#include <memory>
#include <string>

#include "core/types.h"

// One boot ROM slot: an image the player supplies, used only when its file
// has exactly the slot's size.
class BootROM {
public:
    BootROM(std::string name_, int size_) : name(std::move(name_)), size(size_) {}
    bool load(const std::string& path);
    bool load_default(const std::string& directory) { return load(directory + name + "_boot.bin"); }

    std::string name;
    int size = 0;
    bool loaded = false;
    std::unique_ptr<u8[]> data;
};
