// A bundle's teeth members with the donor bank decoded into donor order: what `qo teeth` runs the
// batch pass on and what `qo say` attaches to its utterance.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "qo/qo_tessera.h"
#include "qo/qo_utt.h"

namespace qo::tool {

struct TeethBank {
  struct Closer {
    void operator()(qo_tessera_members* m) const { qo_tessera_members_close(m); }
  };
  std::unique_ptr<qo_tessera_members, Closer> members;
  std::vector<uint8_t> bands;  // n x band_h x band_w x 3, donor order
  int n = 0;
};

// True when the bundle carries all four teeth members.
bool hasTeethMembers(const std::string& bundle);
// Opens the members and decodes the bank. Throws std::runtime_error with the reader's message.
TeethBank loadTeethBank(const std::string& bundle);
// Attaches the bank to an utterance. Throws std::runtime_error with the attach's message.
void attachTeethBank(qo_utt* u, const TeethBank& bank);

}  // namespace qo::tool
