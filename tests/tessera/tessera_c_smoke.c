/* A C11 host of the teeth-member functions: the header compiles as C, the shared library exports
 * them, and the demo bundle's members load through them. */
#include <stdio.h>
#include <string.h>

#include "qo/qo_tessera.h"

static int fail(const char* what, const char* err) {
  fprintf(stderr, "tessera_c_smoke: %s (%s)\n", what, err);
  return 1;
}

int main(int argc, char** argv) {
  const char* dir = argc > 1 ? argv[1] : "tessera_c_smoke_bundle"; /* written by `qo demo --tiny` */
  char err[1024] = "";
  qo_tessera_carriage* c = qo_tessera_carriage_open(dir);
  qo_tessera_members* m;
  int i;
  if (!c || !qo_tessera_carriage_complete(c) || !qo_tessera_carriage_declared(c)) return fail("carriage", dir);
  for (i = 0; i < qo_tessera_slot_count(); ++i)
    if (qo_tessera_carriage_path(c, qo_tessera_slot_key(i))[0] == '\0') return fail("slot path", qo_tessera_slot_key(i));
  qo_tessera_carriage_close(c);
  m = qo_tessera_members_open(dir, err, (int)sizeof err);
  if (!m) return fail("members", err);
  if (qo_tessera_members_n_donors(m) < 1) return fail("donors", "");
  if (qo_tessera_members_band_bytes(m) != (uint64_t)qo_tessera_members_n_donors(m) *
                                              (uint64_t)qo_tessera_members_band_w(m) *
                                              (uint64_t)qo_tessera_members_band_h(m) * 3u)
    return fail("band bytes", "");
  if (qo_tessera_members_stamp(m)[0] != 32 || strcmp(qo_tessera_members_bank_container(m), "mp4") != 0)
    return fail("stamp or container", qo_tessera_members_bank_container(m));
  qo_tessera_members_close(m);
  if (qo_tessera_members_open(NULL, err, (int)sizeof err) != NULL || strstr(err, "null bundle_dir") == NULL)
    return fail("NULL bundle accepted", err);
  printf("tessera_c_smoke: ok\n");
  return 0;
}
