#pragma once
// A file whose content begins with this marker reaches its copy with the byte right after
// the marker changed, when the copying program runs with CorruptInTransit.cpp preloaded.
namespace ferrox::test {
inline constexpr char CorruptMarker[] = "\x7f"
                                        "ferrox: corrupt me in transit"
                                        "\x7f";
inline constexpr unsigned CorruptMarkerLength = sizeof CorruptMarker - 1;
} // namespace ferrox::test
