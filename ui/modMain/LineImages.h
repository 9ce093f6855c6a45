#pragma once
#include <QIcon>

namespace ferrox {

// The image of a line with this status (0..7 = 2 * state + kind): a document or a folder,
// plain when waiting, with a green check when done, a blue arrow while being copied and a
// red cross when failed. 16 x 16 on a transparent ground, the same image whether the line
// is selected or not. A status out of range has no image.
QIcon LineImage(int status);

// The bare 16 x 16 picture behind LineImage.
QPixmap LineImagePixmap(int status);

} // namespace ferrox
