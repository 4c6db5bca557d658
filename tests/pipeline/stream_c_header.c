/* qo_fca.h, qo_stream.h and qo_utt.h as a C host sees them: NULL arguments fail with the family's
 * text. */
#include <stdio.h>
#include <string.h>

#include "qo/qo_fca.h"
#include "qo/qo_stream.h"
#include "qo/qo_utt.h"

int main(void) {
  float out[63];
  if (qo_fca_create(NULL, NULL, 0) != NULL || strcmp(qo_fca_last_error(), "qo_fca_create: bad args") != 0) return 1;
  if (qo_fca_deltas(NULL, out, 1, out, 1) != -1) return 1;
  if (qo_stream_create(NULL, NULL, 0, 0, 1.0f) != NULL) return 1;
  if (strcmp(qo_stream_last_error(), "qo_stream_create: bad args") != 0) return 1;
  if (qo_stream_run(NULL, NULL, 0, NULL, NULL) != -1 || qo_stream_width(NULL) != 0) return 1;
  {
    char err[64], reason[8] = "x", geo[8] = "x";
    int64_t written = -1, skipped = -1;
    if (qo_utt_tessera_attach(NULL, NULL, 0, NULL, NULL, NULL, NULL, NULL, 0, NULL, NULL, err, sizeof err) == 0)
      return 1;
    if (strcmp(err, "qo_utt_tessera_attach: null session") != 0) return 1;
    if (qo_utt_tessera_stats(NULL, &written, &skipped, reason, sizeof reason) != 0) return 1;
    if (written != 0 || skipped != 0 || reason[0] != '\0') return 1;
    if (qo_utt_tessera_synth_w(NULL, NULL, NULL, NULL) != 0 || qo_utt_tessera_geometry(NULL, geo, sizeof geo) != 0)
      return 1;
  }
  qo_fca_destroy(NULL);
  qo_stream_destroy(NULL);
  puts("ok");
  return 0;
}
