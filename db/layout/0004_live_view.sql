-- Step 4 (the plant's layout 3): the live view of the plant, j4_live_view(),
-- is functions only, replayed with the others; the step keeps the numbers
-- the plant's databases were given.
SELECT 1;
