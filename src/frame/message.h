#ifndef KOVA_FRAME_MESSAGE_H
#define KOVA_FRAME_MESSAGE_H

namespace kova {

// Stores a status text in KOVA_message: copies `text` with its terminator to
// the start of the buffer. Bytes past the new terminator keep what an older,
// longer message left there; hosts read up to the terminator.
void set_message(const char* text);

}  // namespace kova

#endif
