// The page's files, built into the program from the assets folder.
#pragma once

#include <cstddef>

#define WEBAPP_ASSET(symbol)                     \
	extern "C" const unsigned char symbol[]; \
	extern "C" const size_t symbol##_len

WEBAPP_ASSET(webapp_asset_index_html);
WEBAPP_ASSET(webapp_asset_app_js);
WEBAPP_ASSET(webapp_asset_app_css);
WEBAPP_ASSET(webapp_asset_logo_svg);
WEBAPP_ASSET(webapp_asset_roboto_mono_400);
WEBAPP_ASSET(webapp_asset_roboto_mono_500);
WEBAPP_ASSET(webapp_asset_roboto_mono_700);

#undef WEBAPP_ASSET
