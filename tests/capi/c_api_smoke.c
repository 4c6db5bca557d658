/* A C11 host: the public header compiles as C and the shared library links and answers. */
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include "qo/qo.h"

static int fail(const char* what) {
  fprintf(stderr, "c_api_smoke: %s (last error: '%s')\n", what, qo_last_error());
  return 1;
}

int main(int argc, char** argv) {
  const char* dir = argc > 1 ? argv[1] : "c_api_smoke_bundle";
  char path[4096];
  FILE* f;
  qo_ctx* ctx;
  char out[4096];

  mkdir(dir, 0755);
  snprintf(path, sizeof path, "%s/manifest.json", dir);
  f = fopen(path, "wb");
  if (!f) return fail("cannot write manifest");
  fputs("{\"format\": \"qo-bundle-v0\", \"agent\": \"c\", \"NT\": 2, \"W\": 8, \"H\": 6, \"crop\": 4,"
        " \"M_src_w\": 8, \"M_src_h\": 6, \"amount\": 1.3, \"sigma\": 2.0, \"ksize\": 3, \"frames\": 2}",
        f);
  fclose(f);

  if (qo_create(NULL, "b1", 0, NULL) != NULL) return fail("NULL bundle accepted");
  if (strcmp(qo_last_error(), "qo_create: NULL bundle_dir/model_key") != 0) return fail("wrong NULL text");

  ctx = qo_create(dir, "b1", 0, NULL);
  if (!ctx) return fail("qo_create failed");
  if (qo_last_error()[0] != '\0') return fail("error text not cleared");
  if (qo_width(ctx) != 8 || qo_height(ctx) != 6 || qo_crop(ctx) != 4 || qo_nt(ctx) != 2) return fail("getters");
  if (qo_host_kp_rows() != 21) return fail("kp rows");
  if (qo_bundle_resolve_handle(dir, out, sizeof out) != 1 || strcmp(out, dir) != 0) return fail("resolve handle");
  if (qo_bundle_resolve_member(dir, "manifest.json", out, sizeof out) != 1) return fail("resolve member");
  qo_destroy(ctx);
  qo_destroy(NULL);
  printf("c_api_smoke: ok\n");
  return 0;
}
