/* qo_fca.h and qo_stream.h as a C host sees them: NULL arguments fail with the family's text. */
#include <stdio.h>
#include <string.h>

#include "qo/qo_fca.h"
#include "qo/qo_stream.h"

int main(void) {
  float out[63];
  if (qo_fca_create(NULL, NULL, 0) != NULL || strcmp(qo_fca_last_error(), "qo_fca_create: bad args") != 0) return 1;
  if (qo_fca_deltas(NULL, out, 1, out, 1) != -1) return 1;
  if (qo_stream_create(NULL, NULL, 0, 0, 1.0f) != NULL) return 1;
  if (strcmp(qo_stream_last_error(), "qo_stream_create: bad args") != 0) return 1;
  if (qo_stream_run(NULL, NULL, 0, NULL, NULL) != -1 || qo_stream_width(NULL) != 0) return 1;
  qo_fca_destroy(NULL);
  qo_stream_destroy(NULL);
  puts("ok");
  return 0;
}
