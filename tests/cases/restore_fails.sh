# A put-back whose write fails says so.
three
FAULT="raise:/p.pac:@600050:15;write:/p.pac:1" kb -e p.pac
