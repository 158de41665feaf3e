/* The public header alone, compiled as each language standard hosts use: its
 * types and loader must build without warnings in every one of them. */
#include "ulvane.h"

int ulvane_header_check(void) {
  UlvaneApi api;
  return ulvane_resolve(GetModuleHandleA(NULL), &api);
}
