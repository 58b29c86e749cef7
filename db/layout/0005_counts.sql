-- Step 5 (the plant's layout 4): counts the database keeps as records
-- arrive. What came before them is counted once, after the functions.

-- The plant's questions ("today, every line and station") must not read a
-- year of records, so the database keeps counts itself:
--   j4_yield_counts    units by line, station, slot, release, work order and
--                      the plant's day, each where it was first tried;
--   j4_failure_counts  attempts that did not complete, by outcome and reason;
--   j4_station_last    each station's last record;
--   j4_slot_last       each slot's last result, for the live view.
-- An insert only notes its attempts in j4_uncounted (the records' inserts
-- stay as fast); j4_counts_caught_up() counts what is noted there: the live
-- view runs it before each reading, and every 1024th insert does. A record that
-- arrives late (a log sent after an outage) is counted where it belongs:
-- the units it names are taken back as they were counted and counted again
-- with it. j4_summaries_rebuilt() counts everything anew; the layout runs it
-- when it adds the counts, and a change of time zone does.
CREATE TABLE IF NOT EXISTS j4_yield_counts (
    day date NOT NULL,
    line text,
    station text NOT NULL,
    slot integer,
    release text,
    work_order text,
    units bigint NOT NULL,
    first_pass bigint NOT NULL,
    completed bigint NOT NULL,
    UNIQUE NULLS NOT DISTINCT (day, line, station, slot, release, work_order)
);
CREATE TABLE IF NOT EXISTS j4_failure_counts (
    day date NOT NULL,
    line text,
    station text NOT NULL,
    reached_device boolean NOT NULL,
    outcome text NOT NULL,
    reason text,                         -- the message, its first 500 characters
    attempts bigint NOT NULL,
    UNIQUE NULLS NOT DISTINCT (day, line, station, reached_device, outcome, reason)
);
CREATE TABLE IF NOT EXISTS j4_station_last (
    station text PRIMARY KEY,
    line text,
    last_record timestamptz NOT NULL,
    last_attempt uuid NOT NULL,
    last_outcome text NOT NULL,
    last_unit text,
    program_version text,
    host text
);
CREATE TABLE IF NOT EXISTS j4_slot_last (
    station text NOT NULL,
    slot integer NOT NULL,               -- 0: the updater window's port
    outcome text NOT NULL,
    message text,
    unit text,
    ended timestamptz NOT NULL,
    attempt uuid NOT NULL,
    PRIMARY KEY (station, slot)
);
CREATE TABLE IF NOT EXISTS j4_uncounted (attempt uuid NOT NULL);
CREATE SEQUENCE IF NOT EXISTS j4_inserts_counted;
