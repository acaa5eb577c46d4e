#pragma once

// Giving freed memory back to the system after a large input was handled.
namespace heap {

// glibc keeps what a large event or answer freed in its arenas (tens of MB after a few
// hostile events); this hands the free pages back. musl returns them by itself: nothing to do.
void Release();

}  // namespace heap
