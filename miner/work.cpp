#include "miner/work.h"

#include "work/pow.h"

namespace tavo {

std::shared_ptr<const Work> make_work(const Job& job, int worker_index, std::uint32_t& counter) {
  auto work = std::make_shared<Work>();
  work->job = job;
  work->extranonce2 = make_extranonce2(job.extranonce2_size, worker_index, counter);
  work->header = build_header(work->job, work->extranonce2);
  work->djob = make_djob(work->header,
                         prefilter_threshold(work->job.share_target, work->job.block_target), 0);
  return work;
}

}  // namespace tavo
