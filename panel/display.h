#pragma once
// Whether a window system is named at all, so that the program can say so
// plainly instead of letting Qt abort.

namespace j4 {

bool displayNamed();

} // namespace j4
