// The program's icon, drawn in code: a teal disc with a white "Z".
#pragma once

#include <cstdint>
#include <vector>

// size x size pixels, row by row, four bytes per pixel in the order
// alpha, red, green, blue (not premultiplied).
std::vector<uint8_t> tray_icon_argb(int size);
