#include "cartridge/boot_rom.h"

#include <algorithm>
#include <fstream>

bool BootROM::load(const std::string& path) {
    std::ifstream file(path, std::ios::binary | std::ios::ate);
    if (!file) return false;
    std::streamoff length = file.tellg();
    if (length != size) return false;
    // Read into a fresh buffer first so a failed read leaves the slot as it was.
    std::unique_ptr<u8[]> image(new u8[size]);
    file.seekg(0);
    if (!file.read(reinterpret_cast<char*>(image.get()), size)) return false;
    if (data) {
        std::copy(image.get(), image.get() + size, data.get());
    } else {
        data = std::move(image);
    }
    loaded = true;
    return true;
}
