// The property tests run from one seed, so that every run tries the same
// cases and a failure can be repeated; TRKLIB_FC_SEED=N npm test tries
// another set (fast-check prints the seed of a failing run).
import fc from 'fast-check';

export const seed = Number(process.env.TRKLIB_FC_SEED ?? 20261207);
fc.configureGlobal({ seed });
