# fish completion for korvath-cli: every option, the ports it lists, .SHX images and log files.
function __korvath_cli_ports
    korvath-cli --list-ports 2>/dev/null | awk '{ print $1 }'
end

complete -c korvath-cli -s h -l help -d 'Print the help and exit'
complete -c korvath-cli -s V -l version -d 'Print the version and exit'
complete -c korvath-cli -l list-ports -d 'List the serial ports and the simulated controllers'
complete -c korvath-cli -s p -l port -x -a '(__korvath_cli_ports)' -d 'Port number, name, device path, usb:SERIAL or sim[:N]'
complete -c korvath-cli -l station -d 'Wait for controller after controller on every port'
complete -c korvath-cli -l log -r -F -d 'Append one JSON line per unit to FILE'
complete -c korvath-cli -l json -d 'Print one JSON object per event instead of text'
complete -c korvath-cli -l tag -x -d 'KEY=VALUE copied into every log line and result event'
complete -c korvath-cli -l ask-serial -d "Ask for each unit's serial number on standard input"
complete -c korvath-cli -l skip-erased -d 'Leave out records that hold only 0xFF (padding)'
complete -c korvath-cli -s q -l quiet -d 'Print only the failures and the final status'
complete -c korvath-cli -l trace -d 'Print every frame and reply in hex on standard error'
complete -c korvath-cli -l check -d 'Check the image without a controller'
complete -c korvath-cli -k -a '(__fish_complete_suffix .shx; __fish_complete_suffix .SHX)'
