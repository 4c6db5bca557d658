/* The public qo_a2x header compiles as strict C11 and its functions link from C. */
#include <stdio.h>
#include <string.h>

#include "qo/qo_a2x.h"

int main(void) {
  qo_a2x* a = qo_a2x_create("/nonexistent/bundle", 1);
  if (a != NULL) return 1;
  if (strncmp(qo_a2x_last_error(), "qo_a2x_create: ", 15) != 0) return 2;
  if (qo_a2x_nt(NULL) != 0 || qo_a2x_width(NULL) != 0 || qo_a2x_total(NULL) != -1) return 3;
  qo_a2x_destroy(NULL);
  puts(qo_a2x_last_error());
  return 0;
}
