// The programs' desktop entry, by which an installed copy is told from a
// build tree: its name is the AppStream component id (reverse-DNS) with
// ".desktop", in ../share/applications beside the programs' folder. Earlier
// packages installed it as "lumigrab.desktop"; a copy with either is an
// installed one.
#pragma once

#include <array>
#include <string_view>

namespace lumigrab {

inline constexpr std::string_view DesktopEntryId = "org.example.lumigrab.Lumigrab";
inline constexpr std::array<std::string_view, 2> InstalledDesktopEntries
    = { "../share/applications/org.example.lumigrab.Lumigrab.desktop", "../share/applications/lumigrab.desktop" };

} // namespace lumigrab
