"""trasko, the organiser's command: publishes the tournaments of a list file
on the federation's site through velka, and says what happened to each."""
