/* A C11 host: the public header compiles as C and the shared library links and answers. */
#include <stdio.h>
#include <string.h>

#include "qo/qo.h"

static int fail(const char* what) {
  fprintf(stderr, "c_api_smoke: %s (last error: '%s')\n", what, qo_last_error());
  return 1;
}

int main(int argc, char** argv) {
  const char* dir = argc > 1 ? argv[1] : "c_api_smoke_bundle"; /* written by `qo demo --tiny` */
  qo_ctx* ctx;
  char out[4096];

  if (qo_create(NULL, "b1", 0, NULL) != NULL) return fail("NULL bundle accepted");
  if (strcmp(qo_last_error(), "qo_create: NULL bundle_dir/model_key") != 0) return fail("wrong NULL text");

  ctx = qo_create(dir, "b1", 0, NULL);
  if (!ctx) return fail("qo_create failed");
  if (qo_last_error()[0] != '\0') return fail("error text not cleared");
  if (qo_width(ctx) != 96 || qo_height(ctx) != 64 || qo_crop(ctx) != 32 || qo_nt(ctx) != 4) return fail("getters");
  if (qo_drive_frames(ctx) != 4) return fail("drive frames");
  if (qo_host_kp_rows() != 21) return fail("kp rows");
  if (qo_bundle_resolve_handle(dir, out, sizeof out) != 1 || strcmp(out, dir) != 0) return fail("resolve handle");
  if (qo_bundle_resolve_member(dir, "manifest.json", out, sizeof out) != 1) return fail("resolve member");
  qo_destroy(ctx);
  qo_destroy(NULL);
  printf("c_api_smoke: ok\n");
  return 0;
}
