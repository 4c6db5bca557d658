/* The public qo_motion header compiles as strict C11 and its functions link from C. */
#include <stdio.h>
#include <string.h>

#include "qo/qo_motion.h"

int main(void) {
  int rows[1];
  float xs[63], xd[63];
  if (qo_motion_create("/nonexistent/motion", 1, NULL) != NULL) return 1;
  if (strncmp(qo_motion_last_error(), "qo_motion_create: cannot open ", 30) != 0) return 2;
  if (qo_motion_nt(NULL) != 0 || qo_motion_total(NULL) != -1 || qo_motion_pull(NULL, rows, xs, xd, 1) != 0) return 3;
  if (strcmp(qo_motion_last_error(), "qo_motion_pull: bad args") != 0) return 4;
  qo_motion_destroy(NULL);
  puts(qo_motion_last_error());
  return 0;
}
