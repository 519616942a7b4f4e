#!/usr/bin/perl
# Compares what the programs accept and print with what their manual pages
# document, both ways where both sides are lists:
#   - the keyword table of the configuration reader and the export options
#     against the KEYWORDS and EXPORT OPTIONS entries of agent.cfg(5), and
#     the keywords against the two example configurations;
#   - the options of agent against the OPTIONS entries of agent(8);
#   - the commands and options of grfsclient against the COMMANDS and
#     OPTIONS entries of grfsclient(1);
#   - every console message of the agent (its fixed text between the
#     conversions) against the DIAGNOSTICS section of agent(8).
# Usage: check_man_coverage.pl SOURCE_DIR
use strict;
use warnings;

my $src = shift @ARGV or die "usage: $0 SOURCE_DIR\n";
my $man = "$src/docs/man";
my $failures = 0;

sub fail { print "FAIL: $_[0]\n"; $failures++; }

sub slurp {
    my ($path) = @_;
    open(my $fh, '<', $path) or die "cannot read $path: $!\n";
    local $/;
    my $text = <$fh>;
    close $fh;
    return $text;
}

# The page's lines with the troff escapes the pages use turned back into
# plain characters.
sub page_lines {
    my ($path) = @_;
    my @lines = split /\n/, slurp($path);
    for (@lines) {
        s/\\f(?:\(CW|[BIRP])//g;
        s/\\-/-/g;
        s/\\\(aq/'/g;
        s/\\\(dq/"/g;
        s/\\\(ga/`/g;
        s/\\\(ti/~/g;
        s/\\\(ha/^/g;
        s/\\&//g;
        s/\\e/\\/g;
        s/\\ / /g;
    }
    return @lines;
}

# The lines of one section: from ".SH NAME" to the next .SH.
sub section {
    my ($lines, $name) = @_;
    my ($inside, @out) = (0);
    for (@$lines) {
        if (/^\.SH\s+"?([^"]*?)"?\s*$/) { $inside = ($1 eq $name); next; }
        push @out, $_ if $inside;
    }
    fail("no section $name") unless @out;
    return @out;
}

# The first word of every tag (the line after .TP, or after .TQ for a further
# tag of the same entry): the names a section documents.
sub tags {
    my ($tp, %seen) = (0);
    for (@_) {
        if (/^\.(?:TP|TQ)/) { $tp = 1; next; }
        next unless $tp;
        $tp = 0;
        my $tag = $_;
        $tag =~ s/^\.(?:B|BI|BR|I|IR)\s+//;
        $tag =~ s/^"//;
        $seen{$1} = 1 if $tag =~ /^([-A-Za-z_]+)/;
    }
    return sort keys %seen;
}

sub compare {
    my ($what, $code, $page, $where) = @_;
    my %in_code = map { $_ => 1 } @$code;
    my %in_page = map { $_ => 1 } @$page;
    fail("$what '$_' is not documented in $where") for grep { !$in_page{$_} } sort keys %in_code;
    fail("$where documents $what '$_', which the program does not have") for grep { !$in_code{$_} } sort keys %in_page;
    printf "checked %d %ss against %s\n", scalar(keys %in_code), $what, $where;
}

sub unique { my %s; return grep { !$s{$_}++ } @_; }

# --- agent.cfg(5) -------------------------------------------------------------
my @keywords = unique(slurp("$src/agent/config_tokens.cpp") =~ /\{"([a-z_]+)", CFG_/g);
fail("no keyword table in agent/config_tokens.cpp") unless @keywords;
my @export_options = unique(slurp("$src/agent/config_file.cpp") =~ /opt == "([a-z_]+)"/g);
fail("no export options in agent/config_file.cpp") unless @export_options;
my @cfg = page_lines("$man/agent.cfg.5");
compare("keyword", \@keywords, [tags(section(\@cfg, "KEYWORDS"))], "agent.cfg(5) KEYWORDS");
compare("export option", \@export_options, [tags(section(\@cfg, "EXPORT OPTIONS"))],
        "agent.cfg(5) EXPORT OPTIONS");

# Both example configurations show every keyword, set or commented out
# ("keyword value" or "#keyword value" at the start of a line); mac_as_unix
# is only reported by the reader and not shown.
for my $example ("examples/agent.cfg", "packaging/agent.cfg.example") {
    my $text = slurp("$src/$example");
    for my $keyword (grep { $_ ne "mac_as_unix" } @keywords) {
        fail("keyword '$keyword' is not shown in $example") unless $text =~ /^#?\Q$keyword\E(?:[ \t]|$)/m;
    }
    printf "checked %d keywords against %s\n", scalar(@keywords) - 1, $example;
}

# --- agent(8) -----------------------------------------------------------------
my @agent_options = unique(slurp("$src/agent/startup.cpp") =~ /strcmp\(arg, "(--?[A-Za-z]+)"\)/g);
fail("no options in agent/startup.cpp") unless @agent_options;
my @agent = page_lines("$man/agent.8");
compare("agent option", \@agent_options, [tags(section(\@agent, "OPTIONS"))], "agent(8) OPTIONS");

my $diagnostics = join("\n", section(\@agent, "DIAGNOSTICS"));
my $literal = qr/"(?:[^"\\]|\\.)*"/;
my $messages = 0;
for my $file (sort(glob("$src/agent/*.cpp"), glob("$src/nrl/*.cpp"), glob("$src/unixfs/*/*.cpp"),
                   glob("$src/mount/*.cpp"), "$src/util/console.cpp")) {
    my $text = slurp($file);
    (my $rel = $file) =~ s{^\Q$src\E/}{};
    while ($text =~ /(?:fprintf\(stderr,|[^a-z_]printf\(|nrl_error\(|usage_message =|ConsoleMessage\([^,"]*,|console_line\()\s*((?:$literal\s*)+)/g) {
        my $format = join('', map { substr($_, 1, -1) } ($1 =~ /($literal)/g));
        $format =~ s/\\"/"/g;
        $format =~ s/\\\\/\\/g;
        # Conversions, line ends and tabs separate the fixed pieces.
        $format =~ s/%[-+ #0-9.*]*(?:zu|ll[dux]|lx|ld|lu|[a-zA-Z])/\n/g;
        $format =~ s/\\[nt]/\n/g;
        for my $piece (split /\n/, $format) {
            $piece =~ s/^\s+|\s+$//g;
            next unless $piece =~ /[A-Za-z]{2}/;
            fail("message text '$piece' ($rel) is not in agent(8) DIAGNOSTICS: describe the message in docs/man/agent.8")
                if index($diagnostics, $piece) < 0;
        }
        $messages++;
    }
}
print "checked $messages console messages against agent(8) DIAGNOSTICS\n";
fail("no console messages found in the sources") unless $messages;

# --- grfsclient(1) ------------------------------------------------------------
my $client = join("\n", map { slurp($_) } glob("$src/client/*.cpp"));
my @commands = grep { $_ ne 'help' } unique($client =~ /command == "([a-z]+)"/g);
if (!@commands) {
    print "grfsclient has no commands in this tree; grfsclient(1) not compared\n";
} else {
    my @options = unique(($client =~ /\{"(--?[A-Za-z][-A-Za-z]*)", (?:true|false)\}/g), "--help");
    my @page = page_lines("$man/grfsclient.1");
    compare("grfsclient command", \@commands, [tags(section(\@page, "COMMANDS"))], "grfsclient(1) COMMANDS");
    compare("grfsclient option", \@options, [tags(section(\@page, "OPTIONS"))], "grfsclient(1) OPTIONS");
}

if ($failures) {
    print "$failures difference(s) between the programs and their manual pages\n";
    exit 1;
}
print "OK: the manual pages document every keyword, option, command and console message\n";
