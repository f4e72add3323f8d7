#pragma once

// Makes the Windows font families named by the style sheets and the
// application font ("微软雅黑", "Microsoft Yahei", "Arial") resolve to fonts
// installed elsewhere, so Chinese texts get real glyphs. Substitutes are only
// consulted for families that are missing, so this changes nothing where the
// families exist. Call once after the application object exists.
void installFontSubstitutions();
