#include "tray_icon.h"

#include <algorithm>
#include <cmath>

namespace {

struct point {
	double x, y;
};

double segment_distance(point p, point a, point b)
{
	const double dx = b.x - a.x, dy = b.y - a.y;
	double t = ((p.x - a.x) * dx + (p.y - a.y) * dy) / (dx * dx + dy * dy);
	t = std::clamp(t, 0.0, 1.0);
	return std::hypot(p.x - (a.x + t * dx), p.y - (a.y + t * dy));
}

// The picture in a unit square: a disc, and the Z's three strokes.
bool in_disc(point p)
{
	return std::hypot(p.x - 0.5, p.y - 0.5) <= 0.48;
}

bool in_letter(point p)
{
	const point top_left{0.31, 0.3}, top_right{0.69, 0.3};
	const point bottom_left{0.31, 0.7}, bottom_right{0.69, 0.7};
	const double half_width = 0.055;
	return segment_distance(p, top_left, top_right) <= half_width ||
	       segment_distance(p, top_right, bottom_left) <= half_width ||
	       segment_distance(p, bottom_left, bottom_right) <= half_width;
}

}

std::vector<uint8_t> tray_icon_argb(int size)
{
	constexpr int samples = 4;
	constexpr double disc_rgb[3] = {0x1b, 0x7f, 0x8c};
	std::vector<uint8_t> pixels(static_cast<size_t>(size) * size * 4);

	for (int y = 0; y < size; ++y) {
		for (int x = 0; x < size; ++x) {
			// Coverage and premultiplied colour from samples x samples points.
			double alpha = 0, rgb[3] = {0, 0, 0};
			for (int sy = 0; sy < samples; ++sy) {
				for (int sx = 0; sx < samples; ++sx) {
					point p{(x + (sx + 0.5) / samples) / size,
						(y + (sy + 0.5) / samples) / size};
					if (!in_disc(p))
						continue;
					alpha += 1;
					for (int c = 0; c < 3; ++c)
						rgb[c] += in_letter(p) ? 255.0 : disc_rgb[c];
				}
			}

			uint8_t *px = &pixels[(static_cast<size_t>(y) * size + x) * 4];
			px[0] = static_cast<uint8_t>(
				std::lround(alpha * 255 / (samples * samples)));
			for (int c = 0; c < 3; ++c)
				px[1 + c] =
					alpha ? static_cast<uint8_t>(std::lround(rgb[c] / alpha))
					      : 0;
		}
	}
	return pixels;
}
