-- Step 6 (the plant's layout 5): claims committed before a unit's last
-- frame, the unit a claim made, free text bounded, a station stopped on
-- purpose, and the assignments stations refuse.

-- A claim's life: open (the unit is being made, kept while its station
-- renews it), committed (confirmed right before the unit's last frame: it
-- never expires, for its unit may be whole), then completed or failed. An
-- open claim that expired is never renewed nor completed: its unit may be
-- made elsewhere meanwhile; settled, it is lapsed, and counts for nothing.
ALTER TABLE j4_claims DROP CONSTRAINT IF EXISTS j4_claims_state_check;
ALTER TABLE j4_claims ADD CONSTRAINT j4_claims_state_check
    CHECK (state IN ('open', 'committed', 'completed', 'failed', 'lapsed'));
CREATE INDEX IF NOT EXISTS j4_assignments_work_order ON j4_assignments (work_order);
-- The unit a claim made, where it was scanned: a quantity counts units, and
-- a unit made again (at another station, after a failure) counts once.
ALTER TABLE j4_claims ADD COLUMN IF NOT EXISTS unit text;

-- What the plant takes as free text is bounded, as a line's name is: a
-- work order is in every record of its line, and indexed there.
ALTER TABLE j4_assignments DROP CONSTRAINT IF EXISTS j4_assignments_text_bounded;
ALTER TABLE j4_assignments ADD CONSTRAINT j4_assignments_text_bounded
    CHECK (length(work_order) BETWEEN 1 AND 200 AND length(lot) <= 200
           AND length(part_number) <= 200) NOT VALID;
ALTER TABLE j4_holds DROP CONSTRAINT IF EXISTS j4_holds_text_bounded;
ALTER TABLE j4_holds ADD CONSTRAINT j4_holds_text_bounded
    CHECK (length(reason) <= 500 AND length(held_by) <= 200) NOT VALID;

-- When a station was stopped on purpose (the end of a shift), so that the
-- plant tells it from one that went silent; cleared when it reports again.
ALTER TABLE j4_station_heartbeats ADD COLUMN IF NOT EXISTS stopped timestamptz;

-- An assignment a station refuses (its release signed by a key the station
-- does not trust, a version that is not the one signed): said to the plant,
-- which shows it, and cleared once the station follows an assignment again.
CREATE TABLE IF NOT EXISTS j4_line_refusals (
    station text PRIMARY KEY,
    line text NOT NULL,
    assignment bigint,
    reason text NOT NULL,
    said timestamptz NOT NULL DEFAULT now()
);
