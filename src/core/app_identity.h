#pragma once

// The reverse-DNS name the desktop knows the program by: its desktop-file id (with
// ".desktop"), the D-Bus name it owns and the class of its windows.
inline constexpr char kAppId[] = "org.tonivox.Tonivox";
inline constexpr char kDesktopFileId[] = "org.tonivox.Tonivox.desktop";
