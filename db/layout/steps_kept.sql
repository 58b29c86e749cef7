-- Which of the layout's steps a database has: each applied once, in order,
-- in a transaction of its own, and recorded here with the file's SHA-256.
-- The views and functions are replayed after any step, and whenever a
-- program brings others than those last replayed.
CREATE TABLE IF NOT EXISTS j4_layout_steps (
    step integer PRIMARY KEY,
    name text NOT NULL,
    sha256 text NOT NULL,
    applied timestamptz NOT NULL DEFAULT now()
);
CREATE TABLE IF NOT EXISTS j4_layout_replayed (
    one boolean PRIMARY KEY DEFAULT true CHECK (one),
    sha256 text NOT NULL,
    replayed timestamptz NOT NULL DEFAULT now()
);
