-- Step 2 (the plant's layout 1): releases, assignments, claims and holds,
-- and what every record was made for.

-- The plant: which release each line flashes, for which work order and how
-- many units, and whether it is held. Its layout has a version of its own
-- (j4_schema.plant), so that stations of an earlier J4 Updater, which read
-- only j4_schema.version, go on sending their records into the same table.
ALTER TABLE j4_schema ADD COLUMN IF NOT EXISTS plant integer;

-- A release as the plant added it: the file's bytes and its signature, and
-- what was read from them when it was added (checked again by every station
-- with its own trusted keys).
CREATE TABLE IF NOT EXISTS j4_releases (
    file_sha256 text PRIMARY KEY CHECK (file_sha256 ~ '^[0-9a-f]{64}$'),
    file bytea NOT NULL,
    signature text NOT NULL,             -- minisign's .minisig, as it was
    version text,                        -- the trusted comment's version=
    key_id text NOT NULL,
    trusted_comment text,
    added_by text NOT NULL,
    added timestamptz NOT NULL DEFAULT now()
);

-- What a line flashes: one active assignment per line, the earlier ones kept.
CREATE TABLE IF NOT EXISTS j4_assignments (
    id bigserial PRIMARY KEY,
    line text NOT NULL CHECK (length(line) BETWEEN 1 AND 200),
    file_sha256 text NOT NULL REFERENCES j4_releases,
    part_number text,
    work_order text NOT NULL,
    lot text,
    quantity integer NOT NULL CHECK (quantity > 0),
    -- "stop after stop_failures failures in the last stop_window attempts";
    -- none: the line never stops itself.
    stop_failures integer CHECK (stop_failures > 0),
    stop_window integer CHECK (stop_window >= stop_failures),
    stop_whole_line boolean NOT NULL DEFAULT true, -- else only the station whose attempts failed
    assigned_by text NOT NULL,
    assigned timestamptz NOT NULL DEFAULT now(),
    active boolean NOT NULL DEFAULT true
);
CREATE UNIQUE INDEX IF NOT EXISTS j4_assignments_one_active ON j4_assignments (line) WHERE active;

-- A unit counted against an assignment's quantity: claimed by its station
-- before its first frame, then completed or failed by its attempt. A
-- failed one does not count; an open one whose station went away expires.
CREATE TABLE IF NOT EXISTS j4_claims (
    attempt uuid PRIMARY KEY,
    assignment bigint NOT NULL REFERENCES j4_assignments,
    station text NOT NULL,
    claimed timestamptz NOT NULL DEFAULT now(),
    expires timestamptz NOT NULL,
    state text NOT NULL DEFAULT 'open' CHECK (state IN ('open', 'completed', 'failed')),
    settled timestamptz
);
CREATE INDEX IF NOT EXISTS j4_claims_assignment ON j4_claims (assignment, state);

-- A held line (or one station of it): no transfer starts until resumed.
CREATE TABLE IF NOT EXISTS j4_holds (
    line text NOT NULL,
    station text NOT NULL DEFAULT '',    -- '': the whole line
    reason text NOT NULL,
    held_by text NOT NULL,
    held timestamptz NOT NULL DEFAULT now(),
    PRIMARY KEY (line, station)
);

-- An earlier form of the claim, replaced by the one the stations call now.
DROP FUNCTION IF EXISTS j4_claim(text, uuid, text, integer);

-- Every record says what it was made for.
ALTER TABLE j4_attempts ADD COLUMN IF NOT EXISTS line text;
ALTER TABLE j4_attempts ADD COLUMN IF NOT EXISTS work_order text;
ALTER TABLE j4_attempts ADD COLUMN IF NOT EXISTS lot text;
ALTER TABLE j4_attempts ADD COLUMN IF NOT EXISTS part_number text;
CREATE INDEX IF NOT EXISTS j4_attempts_work_order ON j4_attempts (work_order);
