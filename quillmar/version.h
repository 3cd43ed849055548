// The assistant's version, shown in its window title and its start-up line.
#pragma once

inline constexpr int quillmar_version_major = 3;
inline constexpr int quillmar_version_minor = 1;
