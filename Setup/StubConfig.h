// Included first in every source file of the Windows stub (-include). The
// C++ library declares its string and stream templates "extern": their
// members then come from the library's own objects, each of which brings
// all members along, used or not. Without those declarations the stub
// instantiates only the members it uses.
#pragma once

#include <cstddef>  // the library's configuration

#if defined(__GLIBCXX__) && defined(_GLIBCXX_EXTERN_TEMPLATE)
#undef _GLIBCXX_EXTERN_TEMPLATE
#define _GLIBCXX_EXTERN_TEMPLATE 0
#endif
